"""The class tree of Tavrocam: classes, namespaces, method objects, held to
the statement of the tree in standin.catalogue."""
import contextlib
import copy
import functools
import gc
import importlib.util
import inspect
import io
import pickle
import re
import sys
import types
import weakref

import pytest

import standin
import Tavrocam
from standin import QuietNode
from standin.catalogue import GROUPS, METHODS, OUTER_DOC

C = Tavrocam.CLASS_Tavrocam
GROUP_CLASSES = [group.cls for group in GROUPS]


def all_classes():
    return [C, C._FeatureBase] + [getattr(C, g) for g in GROUP_CLASSES]


# --- classes ----------------------------------------------------------------


def test_tree_holds_the_listed_methods_and_no_others():
    assert len(GROUPS) == 14 and len(METHODS) == 53
    assert len({m.qualname for m in METHODS}) == len(METHODS)
    found = set()
    for cls in all_classes():
        for name, value in vars(cls).items():
            if callable(value) and not isinstance(value, type):
                found.add(f"{cls.__qualname__}.{name}")
    assert found == {m.qualname for m in METHODS}


@pytest.mark.parametrize(
    "name, qualname, base",
    [("CLASS_Tavrocam", "CLASS_Tavrocam", "object"),
     ("_FeatureBase", "CLASS_Tavrocam._FeatureBase", "object")]
    + [(g, f"CLASS_Tavrocam.{g}", "_FeatureBase") for g in GROUP_CLASSES],
)
def test_class_identity(name, qualname, base):
    cls = C if name == "CLASS_Tavrocam" else vars(C)[name]
    assert cls.__name__ == name
    assert cls.__qualname__ == qualname
    assert cls.__module__ == "Tavrocam"
    assert type(cls) is type
    assert cls.__bases__ == ((object,) if base == "object" else (C._FeatureBase,))
    assert "__slots__" not in vars(cls)
    assert cls.__doc__ == (OUTER_DOC if cls is C else None)
    if cls is not C:
        assert getattr(C.__new__(C), name) is cls  # visible on instances


@pytest.mark.parametrize("cls", all_classes(), ids=lambda c: c.__name__)
def test_instances_carry_a_dict_and_take_new_attributes(cls):
    cam = object()
    inst = cls.__new__(cls) if cls is C else cls(cam)
    inst.extra = 42
    assert inst.__dict__["extra"] == 42
    if cls is not C:
        assert vars(inst) == {"_cam": cam, "extra": 42}


@pytest.mark.parametrize("cls", all_classes(), ids=lambda c: c.__name__)
def test_classes_can_be_subclassed(cls):
    class Sub(cls):
        marker = True

    assert Sub.__mro__[1] is cls
    cam = object()
    inst = Sub.__new__(Sub) if cls is C else Sub(cam)
    assert isinstance(inst, cls) and inst.marker
    if cls is not C:
        assert inst._cam is cam


def test_outer_namespace_order():
    # Exactly these keys on every supported version: from 3.13 a class
    # statement compiled from source also records __firstlineno__ and
    # __static_attributes__ (and dedents docstrings); a class built at run
    # time does neither, and the docstrings stay as the catalogue has them.
    keys = [k for k in vars(C) if k not in ("__dict__", "__weakref__")]
    assert keys == ["__module__", "__doc__", "__init__", "_FeatureBase", *GROUP_CLASSES, "close"]


@pytest.mark.parametrize("cls_name", ["_FeatureBase", *GROUP_CLASSES])
def test_group_namespace_order(cls_name):
    cls = vars(C)[cls_name]
    expected = [m.name for m in METHODS if m.cls == cls_name]
    keys = [k for k in vars(cls) if k not in ("__doc__", "__dict__", "__weakref__")]
    assert keys == ["__module__", *expected]


@pytest.mark.parametrize("group", GROUP_CLASSES)
def test_groups_reach_the_base_initialiser(group):
    cls = vars(C)[group]
    if any(m.cls == group and m.name == "__init__" for m in METHODS):
        assert vars(cls)["__init__"] is not C._FeatureBase.__init__
    else:
        assert "__init__" not in vars(cls)
        assert cls.__init__ is vars(C._FeatureBase)["__init__"]


# --- method objects -----------------------------------------------------------

every_method = pytest.mark.parametrize("m", METHODS, ids=lambda m: m.qualname)
# The method type binds, pickles and copies every method alike: one method of
# each kind of class and of body (the outer class, the base, a group with a
# class cell, plain getter and setter, a default) stands for all.
REPRESENTATIVE = [m for m in METHODS if m.qualname in {
    "CLASS_Tavrocam.__init__", "CLASS_Tavrocam.close", "CLASS_Tavrocam._FeatureBase.__init__",
    "CLASS_Tavrocam.AnalogControl.__init__", "CLASS_Tavrocam.AnalogControl.CUF_GET_BalanceRatio",
    "CLASS_Tavrocam.ImageFormatControl.CUF_GET_Width",
    "CLASS_Tavrocam.ImageFormatControl.CUF_SET_Width"}]
representative_methods = pytest.mark.parametrize("m", REPRESENTATIVE, ids=lambda m: m.qualname)


@every_method
def test_method_identity_and_signature(m):
    method = m.function(Tavrocam)
    assert method.__name__ == m.name
    assert method.__qualname__ == m.qualname
    assert method.__module__ == "Tavrocam"
    assert method.__doc__ == m.doc
    assert method.__defaults__ == m.defaults
    if m.defaults is not None:
        assert [type(d) for d in method.__defaults__] == [type(d) for d in m.defaults]
    sig = inspect.signature(method)
    assert list(sig.parameters) == list(m.params)
    assert {p.kind for p in sig.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    defaults = list(m.defaults or ())
    assert [p.default for p in sig.parameters.values()] == (
        [inspect.Parameter.empty] * (len(m.params) - len(defaults)) + defaults)


@representative_methods
def test_method_descriptor_binding(m):
    method = m.function(Tavrocam)
    cls = m.owner(Tavrocam)
    assert getattr(cls, m.name) is method
    assert method.__get__(None, cls) is method
    inst = cls.__new__(cls)
    bound = getattr(inst, m.name)
    assert bound.__self__ is inst
    assert bound.__name__ == m.name


@representative_methods
def test_method_weakly_referenced_pickled_and_copied_as_a_function(m):
    method = m.function(Tavrocam)
    assert weakref.ref(method)() is method
    inst = m.owner(Tavrocam).__new__(m.owner(Tavrocam))
    weak_bound = weakref.WeakMethod(getattr(inst, m.name))
    assert weak_bound() == getattr(inst, m.name)
    del inst
    assert weak_bound() is None
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(method, protocol)) is method
    assert copy.copy(method) is method and copy.deepcopy(method) is method
    assert type(method).__module__ == "Tavrocam"
    assert inspect.getmodule(type(method)) is inspect.getmodule(method) is Tavrocam


def test_a_dropped_method_ends_its_weak_references():
    found = importlib.util.find_spec("Tavrocam")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    dropped = []
    ref = weakref.ref(module.CLASS_Tavrocam.AnalogControl.CUF_GET_BalanceRatio, dropped.append)
    del module, found
    gc.collect()
    assert ref() is None and dropped == [ref]


def test_repr_looks_like_a_function():
    method = C.AnalogControl.CUF_GET_BalanceRatio
    assert re.fullmatch(r"<function CLASS_Tavrocam\.AnalogControl\.CUF_GET_BalanceRatio at 0x[0-9a-fA-F]+>",
                        repr(method))
    inst = C.AnalogControl(None)
    assert repr(inst.CUF_GET_Gain) == (
        f"<bound method CLASS_Tavrocam.AnalogControl.CUF_GET_Gain of {inst!r}>")


def test_instance_lookup_binds_self_and_class_call_takes_it_explicitly():
    width = object()
    inst = C.ImageFormatControl(types.SimpleNamespace(Width=QuietNode(width)))
    assert inst.CUF_GET_Width() is width
    assert C.ImageFormatControl.CUF_GET_Width(inst) is width
    assert C.ImageFormatControl.CUF_GET_Width(self=inst) is width
    other = C.ImageFormatControl(types.SimpleNamespace(Width=QuietNode("other")))
    assert C.ImageFormatControl.CUF_GET_Width(other) == "other"
    with pytest.raises(TypeError):
        C.ImageFormatControl.CUF_GET_Width()


def test_analog_init_rejects_self_outside_its_class():
    with pytest.raises(TypeError):
        C.AnalogControl.__init__(C.DeviceControl(None), object())


# --- reference counts and the error indicator --------------------------------
# Here the ways of passing arguments; the plain methods' paths are in test_nodes,
# those of the methods with logic of their own in test_features.


def _leak_cases():
    """id -> (call, watched objects), for the ways of passing arguments."""
    value = object()
    arg = object()
    ratio = float("1.75")
    name = "".join(["v", "al"])  # equal to the parameter's name, not the same object
    ok = types.SimpleNamespace(Width=QuietNode(value), BalanceRatioSelector=QuietNode("Green"),
                               BalanceRatio=QuietNode(ratio))
    IF, A = C.ImageFormatControl(ok), C.AnalogControl(ok)

    def refused(fn, *args, **kwargs):
        def call():
            with pytest.raises(TypeError):
                fn(*args, **kwargs)
        return call

    return {
        "setter keyword": (lambda: IF.CUF_SET_Width(val=arg), [arg, IF, ok]),
        "setter keyword equal, not the same": (lambda: IF.CUF_SET_Width(**{name: arg}), [arg, IF, name]),
        "setter via class": (lambda: C.ImageFormatControl.CUF_SET_Width(IF, arg), [arg, IF]),
        "getter via class keyword": (lambda: C.ImageFormatControl.CUF_GET_Width(self=IF), [value, IF]),
        "too many arguments": (refused(IF.CUF_SET_Width, arg, arg), [arg, IF]),
        "unknown keyword": (refused(IF.CUF_SET_Width, val=arg, other=arg), [arg, IF]),
        "multiple values": (refused(IF.CUF_SET_Width, arg, val=arg), [arg, IF]),
        "missing argument": (refused(C.AnalogControl.CUF_SET_BalanceRatio, A, value=arg), [arg, A]),
        "default selector": (lambda: A.CUF_GET_BalanceRatio(),
                             [A, ratio, C.AnalogControl.CUF_GET_BalanceRatio.__defaults__]),
        "group construction": (lambda: C.AnalogControl(arg), [arg]),
        "group construction keyword": (lambda: C.DeviceControl(cam=arg), [arg]),
    }


@pytest.mark.parametrize("case", list(_leak_cases()))
def test_no_reference_leaks(case):
    call, watched = _leak_cases()[case]
    assert standin.leaks(call, *watched) == {}


def test_no_reference_leaks_in_the_constructor(monkeypatch):
    sdk = standin.SDK(cameras=0)
    monkeypatch.setattr(Tavrocam, "pylon", sdk.pylon)
    index = 10 ** 20
    with contextlib.redirect_stdout(io.StringIO()) as out:
        assert standin.leaks(lambda: C(device_index=index), index, sdk.pylon.TlFactory.GetInstance()) == {}
    assert out.getvalue() == "Initialize failure: No Basler cameras found.\n" * (2 * standin.LEAK_ROUNDS)


@pytest.mark.parametrize(
    "make_call",
    [
        pytest.param(lambda: (C.BaslerLightControl(types.SimpleNamespace()).CUF_SET_LightDeviceSelector,
                              ("x",)), id="light selector lookup fails"),
        pytest.param(lambda: (C.BaslerLightControl(types.SimpleNamespace(
            LightDeviceSelector=QuietNode(exc=RecursionError()))).CUF_SET_LightDeviceSelector, ("x",)),
                     id="light selector write fails"),
        pytest.param(lambda: (C.ImageFormatControl(types.SimpleNamespace(
            Width=QuietNode(1000, maximum=2048), OffsetX=QuietNode())).CUF_SET_CenterX, ()),
                     id="centre probe fails"),
        pytest.param(lambda: (C.AnalogControl(types.SimpleNamespace()).CUF_SET_BalanceRatio, ("Red", 1.0)),
                     id="ratio failure"),
        pytest.param(lambda: (C.AcquisitionControl(types.SimpleNamespace(
            ExposureTime=QuietNode(minimum=1.0, maximum=1e7))).CUF_SET_ExposureTime, ("x",)),
                     id="exposure failure"),
        pytest.param(lambda: (C.ImageQualityControl(None).CUF_SET_PylonColorAdaptation, (1,)), id="empty body"),
    ],
)
def test_no_error_left_set_after_success(make_call):
    method, args = make_call()
    with contextlib.redirect_stdout(io.StringIO()):
        # A result returned with an error still set surfaces as SystemError.
        assert method(*args) is None
        assert method(*args, **{}) is None
        assert functools.partial(method, *args)() is None
    assert sys.exc_info() == (None, None, None)
