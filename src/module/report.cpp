#include "module/report.hpp"

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
static_assert(sizeof(kLines) / sizeof(kLines[0]) == kReportLineCount);

// The protected block: the heading and the five setting lines.
Status print_settings(const Scope& scope) {
    const Names& names = scope.names();
    if (print_line(scope, names.msg_report_heading) < 0) {
        return -1;
    }
    for (const ReportLineConstants& line : scope.constants->report) {
        Ref api = load_global(scope, names.api);
        if (!api) {
            return -1;
        }
        Ref group = attr(api.get(), line.group);
        if (!group) {
            return -1;
        }
        Ref value = call_method0(group.get(), line.getter);
        if (!value || print_joined(scope, {line.label, value.get(), line.unit}) < 0) {
            return -1;
        }
    }
    return 0;
}

// api.close()
Status close_api(const Scope& scope) {
    Ref api = load_global(scope, scope.names().api);
    if (!api) {
        return -1;
    }
    return dropped(call_method0(api.get(), scope.names().close));
}

// `e = None; del e`, as the end of an `except ... as e:` block does.
Status unbind_e(const Scope& scope) {
    if (PyDict_SetItem(scope.globals, scope.names().e, Py_None) < 0) {
        return -1;
    }
    return PyDict_DelItem(scope.globals, scope.names().e);
}

// except Exception as e: print(f"執行出錯: {e}")   -- `e` is a module global
// while the handler runs and is deleted afterwards, also when it fails.
Status report_error(const Scope& scope) {
    Handling failure;
    if (PyDict_SetItem(scope.globals, scope.names().e, failure.exception()) < 0) {
        return -1;
    }
    if (print_joined(scope, {scope.names().msg_report_error, failure.exception()}) == 0) {
        return unbind_e(scope);
    }
    Handling pending;
    if (unbind_e(scope) < 0) {
        return -1;  // raised with the pending exception as its context
    }
    pending.reraise();
    return -1;
}

}  // namespace

Status make_report(ReportLineConstants* constants) {
    for (std::size_t i = 0; i < kReportLineCount; ++i) {
        const ReportLine& line = kLines[i];
        ReportLineConstants& k = constants[i];
        k.label = PyUnicode_FromString(line.label);
        k.group = PyUnicode_InternFromString(line.group);
        k.getter = PyUnicode_InternFromString(line.getter);
        k.unit = PyUnicode_FromString(line.unit ? line.unit : "");
        if (k.label == nullptr || k.group == nullptr || k.getter == nullptr || k.unit == nullptr) {
            return -1;
        }
    }
    return 0;
}

void release_report(ReportLineConstants* constants) {
    for (std::size_t i = 0; i < kReportLineCount; ++i) {
        ReportLineConstants& k = constants[i];
        for (PyObject** slot : {&k.label, &k.group, &k.getter, &k.unit}) {
            Py_CLEAR(*slot);
        }
    }
}

Status run_settings_report(const Scope& scope) {
    Ref cls = load_global(scope, scope.names().CLASS_Tavrocam);
    if (!cls) {
        return -1;
    }
    Ref api = Ref::take(PyObject_CallNoArgs(cls.get()));
    if (!api || PyDict_SetItem(scope.globals, scope.names().api, api.get()) < 0) {
        return -1;
    }
    api.reset();

    Status status = print_settings(scope);
    if (status < 0 && ordinary_failure()) {
        status = report_error(scope);
    }
    if (status == 0) {
        return close_api(scope);
    }
    // finally: close() runs with the pending exception as the one being
    // handled; that exception goes on unless close() raised its own.
    Handling pending;
    if (close_api(scope) < 0) {
        return -1;
    }
    pending.reraise();
    return -1;
}

}  // namespace tavrocam
