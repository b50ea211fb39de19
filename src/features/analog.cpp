// AnalogControl: gain, black level and the per-channel white-balance ratios.
#include "access/node.hpp"
#include "features/groups.hpp"

namespace tavrocam {
namespace {

// __init__(self, cam): super().__init__(cam), through the class cell that
// class creation fills (the method object's closure).
Ref analog_init(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    Ref cls = method->closure && PyCell_Check(method->closure)
                  ? Ref::take(PyCell_Get(method->closure))
                  : Ref();
    if (!cls) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return Ref();
    }
    PyObject* super_args[2] = {cls.get(), args[0]};
    Ref base = Ref::take(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
    if (!base || dropped(call_method1(base.get(), names.dunder_init, args[1])) < 0) {
        return Ref();
    }
    return none();
}

// CUF_GET_BalanceRatio(self, selector="Red"): select the channel, read its ratio.
Ref get_balance_ratio(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    PyObject* self = args[0];
    if (node_set(names, self, names.BalanceRatioSelector, args[1]) < 0) {
        return Ref();
    }
    return node_call(names, self, names.BalanceRatio, names.GetValue);
}

// CUF_SET_BalanceRatio(self, selector, value): select the channel, write its
// ratio; an ordinary failure is printed and absorbed.
Ref set_balance_ratio(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    PyObject* self = args[0];
    PyObject* selector = args[1];
    if (node_set(names, self, names.BalanceRatioSelector, selector) == 0 &&
        node_set(names, self, names.BalanceRatio, args[2]) == 0) {
        return none();
    }
    if (!ordinary_failure()) {
        return Ref();
    }
    Handling failure;
    if (print_joined(method->scope, {names.msg_ratio_failure_head, selector,
                                     names.msg_ratio_failure_tail, failure.exception()}) < 0) {
        return Ref();
    }
    return none();
}

// CUF_GET_BalanceRatioAll(self): {"Red": r, "Green": g, "Blue": b}, the
// selector put back where it was. No clean-up when a step fails.
Ref get_balance_ratio_all(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    PyObject* self = args[0];
    Ref res = Ref::take(PyDict_New());
    if (!res) {
        return Ref();
    }
    Ref orig = node_call(names, self, names.BalanceRatioSelector, names.GetValue);
    if (!orig) {
        return Ref();
    }
    for (PyObject* color : {names.Red, names.Green, names.Blue}) {
        if (node_set(names, self, names.BalanceRatioSelector, color) < 0) {
            return Ref();
        }
        Ref ratio = node_call(names, self, names.BalanceRatio, names.GetValue);
        if (!ratio || PyDict_SetItem(res.get(), color, ratio.get()) < 0) {
            return Ref();
        }
    }
    if (node_set(names, self, names.BalanceRatioSelector, orig.get()) < 0) {
        return Ref();
    }
    return res;
}

const MethodSpec methods[] = {
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

const GroupSpec kAnalogGroup = group("AnalogControl", "Analog", methods, /*class_cell=*/true);

}  // namespace tavrocam
