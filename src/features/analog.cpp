// AnalogControl: gain, black level and the per-channel white-balance ratios.
#include "access/names.hpp"
#include "access/node.hpp"
#include "features/groups.hpp"

namespace tavrocam {
namespace {

// __init__(self, cam): super().__init__(cam), through the class cell that
// class creation fills.
PyObject* analog_init(MethodObject* method, PyObject* const* args) {
    PyObject* cls = method->cell ? PyCell_GET(method->cell) : nullptr;
    if (cls == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return nullptr;
    }
    PyObject* super_args[2] = {cls, args[0]};
    Ref base(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
    if (!base) {
        return nullptr;
    }
    if (discard(call_method1(base.get(), names::dunder_init, args[1])) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// CUF_GET_BalanceRatio(self, selector="Red"): select the channel, read its ratio.
PyObject* get_balance_ratio(MethodObject*, PyObject* const* args) {
    PyObject* self = args[0];
    if (node_set(self, names::BalanceRatioSelector, args[1]) < 0) {
        return nullptr;
    }
    return node_call(self, names::BalanceRatio, names::GetValue);
}

// CUF_SET_BalanceRatio(self, selector, value): select the channel, write its
// ratio; an ordinary failure is printed and absorbed.
PyObject* set_balance_ratio(MethodObject* method, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* selector = args[1];
    if (node_set(self, names::BalanceRatioSelector, selector) == 0 &&
        node_set(self, names::BalanceRatio, args[2]) == 0) {
        Py_RETURN_NONE;
    }
    if (!ordinary_failure()) {
        return nullptr;
    }
    Handling failure;
    if (print_joined(method->globals, {names::msg_ratio_failure_head, selector,
                                       names::msg_ratio_failure_tail, failure.exception()}) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// CUF_GET_BalanceRatioAll(self): {"Red": r, "Green": g, "Blue": b}, the
// selector put back where it was. No clean-up when a step fails.
PyObject* get_balance_ratio_all(MethodObject*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref res(PyDict_New());
    if (!res) {
        return nullptr;
    }
    Ref orig(node_call(self, names::BalanceRatioSelector, names::GetValue));
    if (!orig) {
        return nullptr;
    }
    for (PyObject* color : {names::Red, names::Green, names::Blue}) {
        if (node_set(self, names::BalanceRatioSelector, color) < 0) {
            return nullptr;
        }
        Ref ratio(node_call(self, names::BalanceRatio, names::GetValue));
        if (!ratio || PyDict_SetItem(res.get(), color, ratio.get()) < 0) {
            return nullptr;
        }
    }
    if (node_set(self, names::BalanceRatioSelector, orig.get()) < 0) {
        return nullptr;
    }
    return res.release();
}

MethodSpec methods[] = {
    custom("__init__", analog_init, nullptr, "cam"),
    getter("CUF_GET_Gain", "Gain"),
    setter("CUF_SET_Gain", "Gain", "val"),
    getter("CUF_GET_BlackLevel", "BlackLevel"),
    setter("CUF_SET_BlackLevel", "BlackLevel", "val"),
    custom("CUF_GET_BalanceRatio", get_balance_ratio,
           "\n            取得指定通道的比例\n"
           "            selector: \"Red\", \"Green\", \"Blue\"\n            ",
           "selector", nullptr, Default::Red),
    custom("CUF_SET_BalanceRatio", set_balance_ratio,
           "\n            設定指定通道的比例\n"
           "            注意：必須在 AutoFunction.CUF_SET_BalanceWhiteAuto(\"Off\") 狀態下才有效\n"
           "            ",
           "selector", "value"),
    custom("CUF_GET_BalanceRatioAll", get_balance_ratio_all, "一次取得所有通道比例"),
};

}  // namespace

GroupSpec kAnalogGroup = group("AnalogControl", "Analog", methods, /*class_cell=*/true);

}  // namespace tavrocam
