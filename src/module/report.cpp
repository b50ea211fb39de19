#include "module/report.hpp"

#include "access/names.hpp"
#include "access/node.hpp"

namespace tavrocam {
namespace {

struct ReportLine {
    const char* label;   // seventeen characters: the name padded to fifteen, then ": "
    const char* group;   // attribute of the CLASS_Tavrocam instance
    const char* getter;
    const char* unit;    // appended after the value, or nullptr
};

const ReportLine kLines[] = {
    {"Model Name     : ", "Device", "CUF_GET_ModelName", nullptr},
    {"Exposure Time  : ", "Acquisition", "CUF_GET_ExposureTime", " us"},
    {"W/B Ratios     : ", "Analog", "CUF_GET_BalanceRatioAll", nullptr},
    {"Temperature    : ", "Device", "CUF_GET_Temperature", " °C"},
    {"Payload Size   : ", "TransportLayer", "CUF_GET_PayloadSize", " bytes"},
};
constexpr std::size_t kLineCount = sizeof(kLines) / sizeof(kLines[0]);

struct LineConstants {
    PyObject* label;
    PyObject* group;
    PyObject* getter;
    PyObject* unit;
};
LineConstants constants[kLineCount];

int prepare_lines() {
    for (std::size_t i = 0; i < kLineCount; ++i) {
        LineConstants& c = constants[i];
        if (c.label != nullptr) {
            continue;
        }
        c.group = PyUnicode_InternFromString(kLines[i].group);
        c.getter = PyUnicode_InternFromString(kLines[i].getter);
        c.unit = PyUnicode_FromString(kLines[i].unit ? kLines[i].unit : "");
        if (!c.group || !c.getter || !c.unit) {
            return -1;
        }
        c.label = PyUnicode_FromString(kLines[i].label);
        if (!c.label) {
            return -1;
        }
    }
    return 0;
}

// The protected block: the heading and the five setting lines.
int print_settings(PyObject* globals) {
    if (print_line(globals, names::msg_report_heading) < 0) {
        return -1;
    }
    for (const LineConstants& line : constants) {
        Ref api(load_global(globals, names::api));
        if (!api) {
            return -1;
        }
        Ref group(PyObject_GetAttr(api.get(), line.group));
        if (!group) {
            return -1;
        }
        Ref value(call_method0(group.get(), line.getter));
        if (!value) {
            return -1;
        }
        if (print_joined(globals, {line.label, value.get(), line.unit}) < 0) {
            return -1;
        }
    }
    return 0;
}

// api.close()
int close_api(PyObject* globals) {
    Ref api(load_global(globals, names::api));
    if (!api) {
        return -1;
    }
    return discard(call_method0(api.get(), names::close));
}

// except Exception as e: print(f"執行出錯: {e}")   -- `e` is a module global
// while the handler runs and is deleted afterwards, also when it fails.
int report_error(PyObject* globals) {
    Handling failure;
    if (PyDict_SetItem(globals, names::e, failure.exception()) < 0) {
        return -1;
    }
    const int printed = print_joined(globals, {names::msg_report_error, failure.exception()});
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (printed < 0) {
        PyErr_Fetch(&type, &value, &traceback);
    }
    const int unbound = (PyDict_SetItem(globals, names::e, Py_None) < 0 ||
                         PyDict_DelItem(globals, names::e) < 0) ? -1 : 0;
    if (printed < 0) {
        if (unbound < 0) {
            _PyErr_ChainExceptions(type, value, traceback);
        } else {
            PyErr_Restore(type, value, traceback);
        }
        return -1;
    }
    return unbound;
}

}  // namespace

int run_settings_report(PyObject* globals) {
    if (prepare_lines() < 0) {
        return -1;
    }
    Ref cls(load_global(globals, names::CLASS_Tavrocam));
    if (!cls) {
        return -1;
    }
    Ref api(PyObject_CallNoArgs(cls.get()));
    if (!api || PyDict_SetItem(globals, names::api, api.get()) < 0) {
        return -1;
    }
    api = Ref();

    int status = print_settings(globals);
    if (status < 0 && ordinary_failure()) {
        status = report_error(globals);
    }
    if (status == 0) {
        return close_api(globals);
    }
    // finally: close() runs with the pending exception as the one being
    // handled; that exception goes on unless close() raised its own.
    Handling pending;
    if (close_api(globals) < 0) {
        return -1;
    }
    pending.reraise();
    return -1;
}

}  // namespace tavrocam
