// AcquisitionControl (exposure time, trigger mode) and AutoFunctionControl
// (automatic exposure, gain and white balance).
#include "access/node.hpp"
#include "features/groups.hpp"

namespace tavrocam {
namespace {

// target = max(min(val, max_val), min_val), with exactly the two comparisons
// the built-ins make: `max_val < val`, then `min_val > m`.
// The three operands are owned by the caller for the length of the call.
Ref clamp(PyObject* val, PyObject* min_val, PyObject* max_val) {
    const int above = PyObject_RichCompareBool(max_val, val, Py_LT);
    if (above < 0) {
        return Ref();
    }
    PyObject* m = above ? max_val : val;
    const int below = PyObject_RichCompareBool(min_val, m, Py_GT);
    if (below < 0) {
        return Ref();
    }
    return Ref::retain(below ? min_val : m);
}

Status write_clamped_exposure(const Names& names, PyObject* self, PyObject* val) {
    Ref min_val = node_call(names, self, names.ExposureTime, names.GetMin);
    if (!min_val) {
        return -1;
    }
    Ref max_val = node_call(names, self, names.ExposureTime, names.GetMax);
    if (!max_val) {
        return -1;
    }
    Ref target = clamp(val, min_val.get(), max_val.get());
    if (!target) {
        return -1;
    }
    return node_set(names, self, names.ExposureTime, target.get());
}

// CUF_SET_ExposureTime(self, val): write val clamped into the node's current
// limits; an ordinary failure is printed and absorbed.
Ref set_exposure_time(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    if (write_clamped_exposure(names, args[0], args[1]) == 0) {
        return none();
    }
    if (!ordinary_failure()) {
        return Ref();
    }
    Handling failure;
    if (print_joined(method->scope, {names.msg_exposure_failure, failure.exception()}) < 0) {
        return Ref();
    }
    return none();
}

const MethodSpec acquisition[] = {
    getter("CUF_GET_ExposureTime", "ExposureTime", "取得目前的曝光時間 (單位: microseconds)"),
    custom("CUF_SET_ExposureTime", set_exposure_time, "設定曝光時間 (單位: microseconds)", "val"),
    setter("CUF_SET_TriggerMode", "TriggerMode", "mode"),
};

const MethodSpec auto_function[] = {
    getter("CUF_GET_ExposureAuto", "ExposureAuto"),
    setter("CUF_SET_ExposureAuto", "ExposureAuto", "mode",
           "設定自動曝光模式: 'Off', 'Once', 'Continuous'"),
    setter("CUF_SET_GainAuto", "GainAuto", "mode"),
    getter("CUF_GET_BalanceWhiteAuto", "BalanceWhiteAuto",
           "取得目前白平衡自動模式狀態 ('Off', 'Once', 'Continuous')"),
    setter("CUF_SET_BalanceWhiteAuto", "BalanceWhiteAuto", "mode"),
};

}  // namespace

const GroupSpec kAcquisitionGroup = group("AcquisitionControl", "Acquisition", acquisition);
const GroupSpec kAutoFunctionGroup = group("AutoFunctionControl", "AutoFunction", auto_function);

}  // namespace tavrocam
