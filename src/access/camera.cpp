#include "access/camera.hpp"

namespace tavrocam {
namespace {

// hasattr(self, "cam") and self.cam.IsOpen(): 1 or 0, or -1 with the error
// set when a step other than the absence of `cam` fails.
int camera_is_open(const Names& names, PyObject* self) {
    Ref probe;
    const int present = compat::lookup_optional(self, names.cam, probe);
    if (present <= 0) {
        return present;
    }
    probe.reset();
    Ref cam = attr(self, names.cam);
    if (!cam) {
        return -1;
    }
    Ref open = call_method0(cam.get(), names.IsOpen);
    if (!open) {
        return -1;
    }
    return PyObject_IsTrue(open.get());
}

// self.cam.Close(), its result dropped.
Status close_camera(const Names& names, PyObject* self) {
    Ref cam = attr(self, names.cam);
    if (!cam) {
        return -1;
    }
    return dropped(call_method0(cam.get(), names.Close));
}

// Whether the text of the handled open failure says that another program
// holds the camera: "already controlled" or, failing that, "Access denied",
// each tested on a text made afresh with str(); failing both, the words
// pylon's transport layers use for the same condition, in the last text made.
// 1, 0, or -1 with the error set.
int held_elsewhere(const Names& names, PyObject* failure) {
    Ref text;
    for (PyObject* phrase : {names.phrase_controlled, names.phrase_denied}) {
        text = Ref::take(PyObject_Str(failure));
        const int found = text ? PySequence_Contains(text.get(), phrase) : -1;
        if (found != 0) {
            return found;
        }
    }
    for (PyObject* phrase : {names.phrase_gige_held, names.phrase_usb_exclusive,
                             names.phrase_usb_claimed}) {
        const int found = PySequence_Contains(text.get(), phrase);
        if (found != 0) {
            return found;
        }
    }
    return 0;
}

// self.cam.Open(); an ordinary failure is absorbed, with the in-use line
// when its text says another program holds the camera.
Status open_camera(const Scope& scope, PyObject* self) {
    Ref cam = attr(self, scope.names().cam);
    if (!cam) {
        return -1;
    }
    if (dropped(call_method0(cam.get(), scope.names().Open)) == 0) {
        return 0;
    }
    cam.reset();
    if (!ordinary_failure()) {
        return -1;
    }
    Handling failure;
    const int in_use = held_elsewhere(scope.names(), failure.exception());
    if (in_use <= 0) {
        return in_use;
    }
    return print_line(scope, scope.names().msg_in_use);
}

// The feature groups, created in order on self.cam: for each (class name,
// attribute) pair, self.<attribute> = self.<class name>(self.cam).
Status create_groups(const Names& names, PyObject* self, PyObject* groups) {
    if (groups == nullptr || !PyTuple_Check(groups)) {
        PyErr_SetString(PyExc_SystemError, "CLASS_Tavrocam.__init__ has no feature groups");
        return -1;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(groups);
    for (Py_ssize_t g = 0; g < count; ++g) {
        PyObject* pair = PyTuple_GET_ITEM(groups, g);
        Ref cls = attr(self, PyTuple_GET_ITEM(pair, 0));
        if (!cls) {
            return -1;
        }
        Ref cam = attr(self, names.cam);
        if (!cam) {
            return -1;
        }
        Ref instance = call1(cls.get(), cam.get());
        if (!instance || PyObject_SetAttr(self, PyTuple_GET_ITEM(pair, 1), instance.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

// The protected block of the constructor.
Status connect(MethodObject* method, PyObject* self, PyObject* device_index) {
    const Names& names = method->scope.names();
    Ref pylon = load_global(method->scope, names.pylon);
    if (!pylon) {
        return -1;
    }
    Ref factory_class = attr(pylon.get(), names.TlFactory);
    if (!factory_class) {
        return -1;
    }
    Ref tl_factory = call_method0(factory_class.get(), names.GetInstance);
    if (!tl_factory) {
        return -1;
    }
    Ref devices = call_method0(tl_factory.get(), names.EnumerateDevices);
    if (!devices) {
        return -1;
    }
    const int any = PyObject_IsTrue(devices.get());
    if (any < 0) {
        return -1;
    }
    if (!any) {
        PyErr_SetObject(PyExc_RuntimeError, names.no_cameras);
        return -1;
    }
    Ref create = attr(tl_factory.get(), names.CreateDevice);
    if (!create) {
        return -1;
    }
    Ref entry = Ref::take(PyObject_GetItem(devices.get(), device_index));
    if (!entry) {
        return -1;
    }
    Ref device = call1(create.get(), entry.get());
    if (!device) {
        return -1;
    }
    pylon = load_global(method->scope, names.pylon);
    if (!pylon) {
        return -1;
    }
    Ref camera = call_method1(pylon.get(), names.InstantCamera, device.get());
    if (!camera || PyObject_SetAttr(self, names.cam, camera.get()) < 0) {
        return -1;
    }
    camera.reset();
    if (open_camera(method->scope, self) < 0 || create_groups(names, self, method->closure) < 0) {
        return -1;
    }
    Ref device_group = attr(self, names.Device);
    if (!device_group) {
        return -1;
    }
    Ref model = call_method0(device_group.get(), names.CUF_GET_ModelName);
    if (!model) {
        return -1;
    }
    return print_joined(method->scope, {names.msg_connected, model.get()});
}

// __init__(self, device_index=0): connect; report and absorb ordinary failures.
Ref tavrocam_init(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    PyObject* self = args[0];
    if (connect(method, self, args[1]) == 0) {
        return none();
    }
    if (!ordinary_failure()) {
        return Ref();
    }
    Handling failure;
    const int open = camera_is_open(names, self);
    if (open < 0 || (open && close_camera(names, self) < 0)) {
        return Ref();
    }
    if (print_joined(method->scope, {names.msg_init_failure, failure.exception()}) < 0) {
        return Ref();
    }
    return none();
}

// close(self): close the camera when it is open.
Ref tavrocam_close(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    PyObject* self = args[0];
    const int open = camera_is_open(names, self);
    if (open < 0) {
        return Ref();
    }
    if (open && (close_camera(names, self) < 0 || print_line(method->scope, names.msg_closed) < 0)) {
        return Ref();
    }
    return none();
}

}  // namespace

const MethodSpec kTavrocamInit =
    custom("__init__", tavrocam_init, nullptr, "device_index", nullptr, Default::Zero);
const MethodSpec kTavrocamClose = custom("close", tavrocam_close, "關閉相機並釋放資源");

}  // namespace tavrocam
