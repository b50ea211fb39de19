// _tavrocam_sensor: the simulated camera's pixel path for Python; the one file
// of the core that sees Python objects. Every argument is checked here; the
// work itself (core.cpp) runs with the GIL released.
#include "access/ref.hpp"
#include "simcore/core.hpp"

#include <cstring>
#include <new>

namespace {

using tavrocam::Ref;

const char kDoc[] =
    "The simulated acA2040-55uc's pixel path: light on its sensor to a frame's bytes.\n"
    "\n"
    "A light is a tuple (a tavrocam_sim.scenes.Light) whose first five items are:\n"
    "data (C-contiguous, buffer protocol: bytes, array.array, numpy array), height,\n"
    "width, channels (1, or 3: red, green, blue) and dtype: \"u8\" (sRGB-encoded),\n"
    "\"u16\" (linear, 0..65535 is 0..1) or \"f32\" (linear, native floats). The light\n"
    "covers the 2064 x 1544 sensor keeping its aspect (centred, cropped), nearest\n"
    "sample per sensor pixel, before the ROI and mirroring are applied; a site\n"
    "under a red, green or blue filter takes that channel (or the only one).\n"
    "\n"
    "roi: (width, height, offset_x, offset_y, reverse_x, reverse_y) on the sensor.\n"
    "sensor: (electrons of linear 1.0 at a red, a green and a blue site, mean dark\n"
    "electrons of the exposure, read noise e-, saturation capacity e-, DSNU e-,\n"
    "PRNU fraction).\n"
    "chain: (DN per electron at a red, green and blue site (K x gain x balance\n"
    "ratio), black level in 12-bit DN, colour matrix (9 numbers, row-major) or\n"
    "None, process or None). process: 4096 native uint16 values, the format's\n"
    "value of each 12-bit raw value (LUT, gammas, digital shift, the cut to the\n"
    "format's bits); None is the plain cut.\n"
    "seed, number: the camera's seed and the frame's number since power-up; the\n"
    "frame's noise is a function of both.";

// What the module holds per module object: made in the exec slot.
struct Constants {
    Ref formats;  // {pixel format name: core format}
    Ref dtypes;   // {dtype name: core sample type}
};

struct State {
    Constants* constants;
};

Constants& constants_of(PyObject* module) {
    return *static_cast<State*>(PyModule_GetState(module))->constants;
}

// A buffer view, released when it ends.
struct View {
    Py_buffer view{};
    bool held = false;
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held) PyBuffer_Release(&view);
    }
    bool get(PyObject* obj, const char* what) {
        if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous buffer (bytes, array.array, numpy array), not %.100s",
                         what, Py_TYPE(obj)->tp_name);
            return false;
        }
        held = true;
        return true;
    }
};

bool as_float(PyObject* obj, float* out, const char* what) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    if (!(v > -3.0e38 && v < 3.0e38)) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite number", what);
        return false;
    }
    *out = static_cast<float>(v);
    return true;
}

bool as_int(PyObject* obj, long long low, long long high, long long* out, const char* what) {
    if (!PyLong_Check(obj) && !PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.100s", what, Py_TYPE(obj)->tp_name);
        return false;
    }
    Ref number = Ref::take(PyNumber_Index(obj));
    if (!number) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < low || v > high) {
        PyErr_Format(PyExc_ValueError, "%s must be %lld .. %lld", what, low, high);
        return false;
    }
    *out = v;
    return true;
}

// A 64-bit unsigned number from any Python int (taken modulo 2**64).
bool as_u64(PyObject* obj, uint64_t* out, const char* what) {
    if (!PyLong_Check(obj) && !PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.100s", what, Py_TYPE(obj)->tp_name);
        return false;
    }
    Ref number = Ref::take(PyNumber_Index(obj));
    if (!number) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLongMask(number.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// A tuple of exactly n items (or at least n with `at_least`).
bool tuple_of(PyObject* obj, Py_ssize_t n, const char* what, bool at_least = false) {
    if (!PyTuple_Check(obj) || (at_least ? PyTuple_GET_SIZE(obj) < n : PyTuple_GET_SIZE(obj) != n)) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple of %s%zd items", what, at_least ? "at least " : "", n);
        return false;
    }
    return true;
}

bool floats(PyObject* tuple, Py_ssize_t first, int n, float* out, const char* what) {
    for (int i = 0; i < n; ++i)
        if (!as_float(PyTuple_GET_ITEM(tuple, first + i), out + i, what)) return false;
    return true;
}

// Looks a name up in one of the constants' tables.
bool lookup(PyObject* table, PyObject* name, long* out, const char* what) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.100s", what, Py_TYPE(name)->tp_name);
        return false;
    }
    PyObject* found = PyDict_GetItemWithError(table, name);  // borrowed
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "unknown %s %R", what, name);
        return false;
    }
    *out = PyLong_AsLong(found);
    return true;
}

// The light's items into f.light; `view` holds its data.
bool parse_light(Constants& k, PyObject* light, View& view, simcore::Frame& f) {
    if (!tuple_of(light, 5, "light", true)) return false;
    long long h = 0, w = 0, ch = 0;
    long sample = 0;
    if (!as_int(PyTuple_GET_ITEM(light, 1), 1, 1 << 16, &h, "the light's height") ||
        !as_int(PyTuple_GET_ITEM(light, 2), 1, 1 << 16, &w, "the light's width") ||
        !as_int(PyTuple_GET_ITEM(light, 3), 1, 3, &ch, "the light's channels") ||
        !lookup(k.dtypes.get(), PyTuple_GET_ITEM(light, 4), &sample, "light dtype"))
        return false;
    if (ch == 2) {
        PyErr_SetString(PyExc_ValueError, "the light's channels must be 1 or 3");
        return false;
    }
    if (!view.get(PyTuple_GET_ITEM(light, 0), "the light's data")) return false;
    const size_t size = sample == 0 ? 1 : sample == 1 ? 2 : 4;
    const size_t want = static_cast<size_t>(h) * static_cast<size_t>(w) * static_cast<size_t>(ch) * size;
    if (static_cast<size_t>(view.view.len) != want) {
        PyErr_Format(PyExc_ValueError, "the light's data has %zd bytes, its height x width x channels x %zu is %zu",
                     view.view.len, size, want);
        return false;
    }
    if (reinterpret_cast<uintptr_t>(view.view.buf) % size != 0) {
        PyErr_SetString(PyExc_ValueError, "the light's data must be aligned to its samples");
        return false;
    }
    f.light.data = view.view.buf;
    f.light.height = static_cast<int>(h);
    f.light.width = static_cast<int>(w);
    f.light.channels = static_cast<int>(ch);
    f.light.sample = static_cast<simcore::Sample>(sample);
    return true;
}

bool parse_roi(PyObject* roi, simcore::Roi& r) {
    if (!tuple_of(roi, 6, "roi")) return false;
    long long v[4];
    const char* names[4] = {"the ROI's width", "the ROI's height", "the ROI's offset x", "the ROI's offset y"};
    for (int i = 0; i < 4; ++i)
        if (!as_int(PyTuple_GET_ITEM(roi, i), 0, 1 << 16, v + i, names[i])) return false;
    const int rx = PyObject_IsTrue(PyTuple_GET_ITEM(roi, 4));
    const int ry = rx < 0 ? -1 : PyObject_IsTrue(PyTuple_GET_ITEM(roi, 5));
    if (ry < 0) return false;
    r.width = static_cast<int>(v[0]);
    r.height = static_cast<int>(v[1]);
    r.offset_x = static_cast<int>(v[2]);
    r.offset_y = static_cast<int>(v[3]);
    r.reverse_x = rx != 0;
    r.reverse_y = ry != 0;
    return true;
}

bool parse_sensor(PyObject* sensor, simcore::Frame& f) {
    if (!tuple_of(sensor, 8, "sensor")) return false;
    float v[8];
    if (!floats(sensor, 0, 8, v, "a sensor figure")) return false;
    for (int c = 0; c < 3; ++c) f.electrons[c] = v[c];
    f.dark_mean = v[3];
    f.dark_noise = v[4];
    f.saturation = v[5];
    f.dsnu = v[6];
    f.prnu = v[7];
    return true;
}

// The chain; the process table is copied to `process` (aligned) when given.
bool parse_chain(PyObject* chain, simcore::Frame& f, uint16_t* process) {
    if (!tuple_of(chain, 6, "chain")) return false;
    float v[4];
    if (!floats(chain, 0, 4, v, "a gain or the black level")) return false;
    for (int c = 0; c < 3; ++c) f.gain[c] = v[c];
    f.black = v[3];
    PyObject* matrix = PyTuple_GET_ITEM(chain, 4);
    if (matrix != Py_None) {
        if (!tuple_of(matrix, 9, "the colour matrix") || !floats(matrix, 0, 9, f.matrix, "a colour matrix entry"))
            return false;
        f.matrix_on = true;
    }
    PyObject* table = PyTuple_GET_ITEM(chain, 5);
    if (table != Py_None) {
        View view;
        if (!view.get(table, "process")) return false;
        if (view.view.len != 4096 * 2) {
            PyErr_SetString(PyExc_ValueError, "process must hold 4096 uint16 values (8192 bytes)");
            return false;
        }
        std::memcpy(process, view.view.buf, 4096 * 2);
        f.process = process;
    }
    return true;
}

bool parse_format(Constants& k, PyObject* name, simcore::Format* out) {
    long code = 0;
    if (!lookup(k.formats.get(), name, &code, "pixel format")) return false;
    *out = static_cast<simcore::Format>(code);
    return true;
}

bool checked(const simcore::Frame& f) {
    const char* problem = simcore::check(f);
    if (problem != nullptr) {
        PyErr_SetString(PyExc_ValueError, problem);
        return false;
    }
    return true;
}

bool arity(Py_ssize_t nargs, Py_ssize_t n, const char* name) {
    if (nargs != n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, n, nargs);
        return false;
    }
    return true;
}

const char kRenderDoc[] =
    "render(light, roi, pixel_format, sensor, chain, seed, number[, out]) -> bytes or None\n\n"
    "The image data of one frame (see the module's documentation): a new bytes\n"
    "object, or written into out (a writable C-contiguous buffer of the frame's\n"
    "size, such as a bytearray used before: its pages are mapped), then None.";

PyObject* render(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 7 && nargs != 8) {
        PyErr_Format(PyExc_TypeError, "render() takes 7 or 8 arguments (%zd given)", nargs);
        return nullptr;
    }
    Constants& k = constants_of(module);
    simcore::Frame f;
    View light;
    uint16_t process[4096];
    if (!parse_light(k, args[0], light, f) || !parse_roi(args[1], f.roi) || !parse_format(k, args[2], &f.format) ||
        !parse_sensor(args[3], f) || !parse_chain(args[4], f, process) || !as_u64(args[5], &f.seed, "seed") ||
        !as_u64(args[6], &f.number, "number") || !checked(f))
        return nullptr;
    const size_t size = simcore::payload_size(f.format, f.roi.width, f.roi.height);
    Ref made;
    View target;
    uint8_t* bytes = nullptr;
    if (nargs == 8 && args[7] != Py_None) {
        if (PyObject_GetBuffer(args[7], &target.view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) return nullptr;
        target.held = true;
        if (static_cast<size_t>(target.view.len) != size) {
            PyErr_Format(PyExc_ValueError, "out has %zd bytes, the frame %zu", target.view.len, size);
            return nullptr;
        }
        bytes = static_cast<uint8_t*>(target.view.buf);
    } else {
        made = Ref::take(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!made) return nullptr;
        bytes = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(made.get()));
    }
    bool done = false;
    Py_BEGIN_ALLOW_THREADS
    done = simcore::render(f, bytes);
    Py_END_ALLOW_THREADS
    if (!done) return PyErr_NoMemory();
    if (!made) Py_RETURN_NONE;
    return made.release();
}

const char kMeasureDoc[] =
    "measure(light, area, sensor, chain, step) -> (red, green, blue)\n\n"
    "The mean noise-free raw values (12-bit DN, before the digital processing) of\n"
    "the red, green and blue sites over area (x, y, width, height on the sensor),\n"
    "from pairs of rows and columns step apart: what the auto functions see.";

PyObject* measure(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 5, "measure")) return nullptr;
    Constants& k = constants_of(module);
    simcore::Frame f;
    View light;
    uint16_t process[4096];
    long long step = 0;
    if (!parse_light(k, args[0], light, f) || !tuple_of(args[1], 4, "area")) return nullptr;
    PyObject* area = args[1];
    Ref roi = Ref::take(Py_BuildValue("(OOOOOO)", PyTuple_GET_ITEM(area, 2), PyTuple_GET_ITEM(area, 3),
                                      PyTuple_GET_ITEM(area, 0), PyTuple_GET_ITEM(area, 1), Py_False, Py_False));
    if (!roi || !parse_roi(roi.get(), f.roi) || !parse_sensor(args[2], f) || !parse_chain(args[3], f, process) ||
        !as_int(args[4], 1, 1 << 16, &step, "step") || !checked(f))
        return nullptr;
    double means[3] = {0, 0, 0};
    Py_BEGIN_ALLOW_THREADS
    simcore::measure(f, f.roi.offset_x, f.roi.offset_y, f.roi.width, f.roi.height, static_cast<int>(step), means);
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(ddd)", means[0], means[1], means[2]);
}

const char kTestImageDoc[] =
    "test_image(table, entry, width, height, step, modulo, bayer_red, parity, pack12) -> bytes\n\n"
    "A test image: each pixel's value from table (entries of entry bytes) at index\n"
    "(x + y + step) mod modulo, + 256 per filter colour from the red site's parity\n"
    "bayer_red (x | y << 1; -1: none), doubled plus the column's parity with\n"
    "parity; pack12: 2-byte entries packed as 12p.";

PyObject* test_image(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 9, "test_image")) return nullptr;
    View table;
    simcore::TestImage t;
    long long entry = 0, w = 0, h = 0, modulo = 0, red = 0;
    uint64_t step = 0;
    if (!table.get(args[0], "table") || !as_int(args[1], 1, 3, &entry, "entry") ||
        !as_int(args[2], 1, simcore::kSensorWidth, &w, "width") ||
        !as_int(args[3], 1, simcore::kSensorHeight, &h, "height") || !as_u64(args[4], &step, "step") ||
        !as_int(args[5], 1, 65536, &modulo, "modulo") || !as_int(args[6], -1, 3, &red, "bayer_red"))
        return nullptr;
    const int parity = PyObject_IsTrue(args[7]);
    const int pack = parity < 0 ? -1 : PyObject_IsTrue(args[8]);
    if (pack < 0) return nullptr;
    t.table = static_cast<const uint8_t*>(table.view.buf);
    t.entry = static_cast<int>(entry);
    t.entries = static_cast<size_t>(table.view.len) / static_cast<size_t>(entry);
    t.width = static_cast<int>(w);
    t.height = static_cast<int>(h);
    t.step = static_cast<uint32_t>(step % static_cast<uint64_t>(modulo));
    t.modulo = static_cast<uint32_t>(modulo);
    t.bayer_red = static_cast<int>(red);
    t.parity = parity != 0;
    t.pack12 = pack != 0;
    if (!simcore::test_image_fits(t)) {
        PyErr_SetString(PyExc_ValueError, "the test image's table is too short for its indexes, or modulo is not a power of two");
        return nullptr;
    }
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    const size_t size = t.pack12 ? n * 3 / 2 : n * static_cast<size_t>(entry);
    Ref out = Ref::take(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) return nullptr;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
    Py_BEGIN_ALLOW_THREADS
    simcore::test_image(t, bytes);
    Py_END_ALLOW_THREADS
    return out.release();
}

const char kUnpackDoc[] =
    "unpack12(data, count[, out]) -> bytes or None\n\n"
    "The count values of 12p data as native uint16: a new bytes object, or written\n"
    "into out (a writable C-contiguous buffer of count x 2 bytes, such as a numpy\n"
    "uint16 array), then None.";

PyObject* unpack12(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 && nargs != 3) {
        PyErr_Format(PyExc_TypeError, "unpack12() takes 2 or 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    View data;
    long long count = 0;
    if (!data.get(args[0], "data") || !as_int(args[1], 0, 1LL << 40, &count, "count")) return nullptr;
    const size_t n = static_cast<size_t>(count);
    if (static_cast<size_t>(data.view.len) < n * 3 / 2) {
        PyErr_SetString(PyExc_ValueError, "the 12p data is shorter than count values");
        return nullptr;
    }
    const uint8_t* src = static_cast<const uint8_t*>(data.view.buf);
    if (nargs == 3) {
        Py_buffer target{};
        if (PyObject_GetBuffer(args[2], &target, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) return nullptr;
        View out;  // released when this ends
        out.view = target;
        out.held = true;
        if (static_cast<size_t>(target.len) != n * 2 || reinterpret_cast<uintptr_t>(target.buf) % 2 != 0) {
            PyErr_SetString(PyExc_ValueError, "out must be count x 2 bytes, aligned to 2");
            return nullptr;
        }
        uint16_t* values = static_cast<uint16_t*>(target.buf);
        Py_BEGIN_ALLOW_THREADS
        simcore::unpack12(src, n, values);
        Py_END_ALLOW_THREADS
        Py_RETURN_NONE;
    }
    Ref out = Ref::take(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * 2)));
    if (!out) return nullptr;
    uint16_t* values = reinterpret_cast<uint16_t*>(PyBytes_AS_STRING(out.get()));
    Py_BEGIN_ALLOW_THREADS
    simcore::unpack12(src, n, values);
    Py_END_ALLOW_THREADS
    return out.release();
}

// The loops' paths by name, slowest first (simcore::Simd's order).
const char* const kSimdNames[] = {"none", "sse2", "avx2"};

const char kSimdDoc[] =
    "simd() -> str\n\n"
    "The vector loops renders use now: \"avx2\", \"sse2\" or \"none\" (plain C++).\n"
    "Chosen at import: the fastest this machine has, or the one TAVROCAM_SIMD\n"
    "names (or the fastest below it that the machine has). Every path gives the\n"
    "same bytes.";

PyObject* simd(PyObject*, PyObject*) { return PyUnicode_FromString(kSimdNames[static_cast<int>(simcore::simd())]); }

const char kUseSimdDoc[] =
    "use_simd(name) -> str\n\n"
    "Renders from now on use the loops of `name` (\"avx2\", \"sse2\" or \"none\"), or\n"
    "the fastest below it that this machine has (SIMD_PATHS): returns the path\n"
    "now used. A render already running keeps its own.";

PyObject* use_simd(PyObject*, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "the path must be a str, not %.100s", Py_TYPE(name)->tp_name);
        return nullptr;
    }
    for (int path = 0; path < 3; ++path)
        if (PyUnicode_CompareWithASCIIString(name, kSimdNames[path]) == 0) {
            const simcore::Simd used = simcore::use_simd(static_cast<simcore::Simd>(path));
            return PyUnicode_FromString(kSimdNames[static_cast<int>(used)]);
        }
    PyErr_Format(PyExc_ValueError, "unknown path %R: \"avx2\", \"sse2\" or \"none\"", name);
    return nullptr;
}

PyMethodDef methods[] = {
    {"render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(render)), METH_FASTCALL, kRenderDoc},
    {"measure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(measure)), METH_FASTCALL,
     kMeasureDoc},
    {"test_image", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(test_image)), METH_FASTCALL,
     kTestImageDoc},
    {"unpack12", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(unpack12)), METH_FASTCALL,
     kUnpackDoc},
    {"simd", simd, METH_NOARGS, kSimdDoc},
    {"use_simd", use_simd, METH_O, kUseSimdDoc},
    {nullptr, nullptr, 0, nullptr},
};

struct Named {
    const char* name;
    long value;
};

const Named kFormats[] = {
    {"Mono8", static_cast<long>(simcore::Format::Mono8)},
    {"BayerRG8", static_cast<long>(simcore::Format::Bayer8)},
    {"BayerGR8", static_cast<long>(simcore::Format::Bayer8)},
    {"BayerGB8", static_cast<long>(simcore::Format::Bayer8)},
    {"BayerBG8", static_cast<long>(simcore::Format::Bayer8)},
    {"BayerRG12", static_cast<long>(simcore::Format::Bayer12)},
    {"BayerGR12", static_cast<long>(simcore::Format::Bayer12)},
    {"BayerGB12", static_cast<long>(simcore::Format::Bayer12)},
    {"BayerBG12", static_cast<long>(simcore::Format::Bayer12)},
    {"BayerRG12p", static_cast<long>(simcore::Format::Bayer12p)},
    {"BayerGR12p", static_cast<long>(simcore::Format::Bayer12p)},
    {"BayerGB12p", static_cast<long>(simcore::Format::Bayer12p)},
    {"BayerBG12p", static_cast<long>(simcore::Format::Bayer12p)},
    {"RGB8", static_cast<long>(simcore::Format::RGB8)},
    {"BGR8", static_cast<long>(simcore::Format::BGR8)},
    {"YCbCr422_8", static_cast<long>(simcore::Format::YCbCr422)},
};

const Named kDtypes[] = {
    {"u8", static_cast<long>(simcore::Sample::U8)},
    {"u16", static_cast<long>(simcore::Sample::U16)},
    {"f32", static_cast<long>(simcore::Sample::F32)},
};

template <size_t N>
Ref table_of(const Named (&rows)[N]) {
    Ref table = Ref::take(PyDict_New());
    if (!table) return table;
    for (const Named& row : rows) {
        Ref value = Ref::take(PyLong_FromLong(row.value));
        if (!value || PyDict_SetItemString(table.get(), row.name, value.get()) < 0) return Ref();
    }
    return table;
}

int exec_module(PyObject* module) {
    simcore::prepare();
    State* state = static_cast<State*>(PyModule_GetState(module));
    state->constants = new (std::nothrow) Constants();
    if (state->constants == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    Constants& k = *state->constants;
    k.formats = table_of(kFormats);
    if (!k.formats) return -1;
    k.dtypes = table_of(kDtypes);
    if (!k.dtypes) return -1;
    Ref formats = Ref::take(PyDictProxy_New(k.formats.get()));
    if (!formats || PyModule_AddObjectRef(module, "FORMATS", formats.get()) < 0) return -1;
    // The paths this machine has, slowest first.
    const int paths = static_cast<int>(simcore::simd_best()) + 1;
    Ref available = Ref::take(PyTuple_New(paths));
    if (!available) return -1;
    for (int path = 0; path < paths; ++path) {
        PyObject* name = PyUnicode_FromString(kSimdNames[path]);
        if (name == nullptr) return -1;
        PyTuple_SET_ITEM(available.get(), path, name);
    }
    if (PyModule_AddObjectRef(module, "SIMD_PATHS", available.get()) < 0) return -1;
    if (PyModule_AddIntConstant(module, "SENSOR_WIDTH", simcore::kSensorWidth) < 0 ||
        PyModule_AddIntConstant(module, "SENSOR_HEIGHT", simcore::kSensorHeight) < 0)
        return -1;
    return 0;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    State* state = static_cast<State*>(PyModule_GetState(module));
    if (state != nullptr && state->constants != nullptr) {
        Py_VISIT(state->constants->formats.get());
        Py_VISIT(state->constants->dtypes.get());
    }
    return 0;
}

int clear(PyObject* module) {
    State* state = static_cast<State*>(PyModule_GetState(module));
    if (state != nullptr && state->constants != nullptr) {
        state->constants->formats.reset();
        state->constants->dtypes.reset();
    }
    return 0;
}

void free_module(void* module) {
    State* state = static_cast<State*>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (state != nullptr) {
        delete state->constants;
        state->constants = nullptr;
    }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_tavrocam_sensor", kDoc, sizeof(State), methods, slots, traverse, clear, free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit__tavrocam_sensor(void) { return PyModuleDef_Init(&definition); }
