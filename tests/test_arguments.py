"""Argument checking and keyword passing of every method.

Each wrong call is made twice: on the method, and on a plain Python function
with the same qualified name, parameters and defaults. The running
interpreter's own TypeError text for the function is the expected text. The camera (and, for the
constructor, the SDK module) records every attribute read, so the tests also
show that argument errors come before any camera access.
"""
import contextlib
import io
import itertools

import pytest

import Tavrocam
from standin.catalogue import METHODS

C = Tavrocam.CLASS_Tavrocam


class Recorder:
    """Answers any attribute with another recorder; logs every read and call."""

    def __init__(self, log, path="cam"):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_path", path)

    def __getattr__(self, name):
        path = f"{self._path}.{name}"
        self._log.append(path)
        return Recorder(self._log, path)

    def __call__(self, *args, **kwargs):
        path = f"{self._path}({', '.join([*map(repr, args), *(f'{k}={v!r}' for k, v in kwargs.items())])})"
        self._log.append(path)
        return Recorder(self._log, path)

    def __repr__(self):
        return self._path


@pytest.fixture(autouse=True)
def recorded_pylon(monkeypatch):
    log = []
    monkeypatch.setattr(Tavrocam, "pylon", Recorder(log, "pylon"))
    return log


def reference_function(qualname, params, defaults):
    namespace = {}
    exec(f"def f({', '.join(params)}):\n    return None", namespace)
    f = namespace["f"]
    f.__defaults__ = defaults
    f.__name__ = qualname.rsplit(".", 1)[1]
    f.__qualname__ = qualname
    return f


def watched_class(cls, log):
    """A subclass of cls whose instances log reads of instance attributes, and writes."""

    class Watched(cls):
        def __getattribute__(self, name):
            if not hasattr(cls, name):
                log.append(f"self.{name}")
            return object.__getattribute__(self, name)

        def __setattr__(self, name, value):
            log.append(f"self.{name} =")
            object.__setattr__(self, name, value)

    return Watched


def recording_instance(watched, log):
    inst = watched.__new__(watched)
    object.__setattr__(inst, "cam" if C in watched.__mro__ else "_cam", Recorder(log))
    return inst


def wrong_calls(params, required):
    """(positional count, keywords) pairs that every function of this signature rejects."""
    n = len(params)
    calls = []
    for count in range(n + 3):
        for keywords in ({}, {"bogus": 1}):
            if keywords or count < required or count > n:
                calls.append((count, keywords))
    for i, name in enumerate(params):
        # A positional and a keyword for the same parameter, also with surplus positionals.
        calls.append((i + 1, {name: 1}))
        calls.append((n + 1, {name: 1}))
    for size in range(1, n + 1):
        for chosen in itertools.combinations(params, size):
            keywords = dict.fromkeys(chosen, 1)
            if any(p not in keywords for p in params[:required]):
                calls.append((0, keywords))
    calls.append((1, {1: 2}))  # a keyword that is not a string
    return calls


def outcome(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the class is part of what is compared
        return type(exc), str(exc)
    return None


@pytest.mark.parametrize("m", METHODS, ids=lambda m: m.qualname)
def test_wrong_calls_fail_as_for_a_python_function(m, recorded_pylon):
    params, defaults = m.params, m.defaults
    required = len(params) - len(defaults or ())
    method = m.function(Tavrocam)
    cls = m.owner(Tavrocam)
    reference = reference_function(m.qualname, params, defaults)
    reference_cls = type("Reference", (), {method.__name__: reference})
    log = recorded_pylon
    watched = watched_class(cls, log)
    mismatches = []
    checked = 0
    for count, kwargs in wrong_calls(params, required):
        inst = recording_instance(watched, log)
        before = dict(vars(inst))
        extras = [f"arg{i}" for i in range(1, count)]
        cases = [("class", method, reference, [inst, *extras][:count])]
        if count >= 1:
            bound = getattr(inst, method.__name__)
            ref_bound = getattr(reference_cls.__new__(reference_cls), method.__name__)
            cases.append(("instance", bound, ref_bound, extras))
            if method.__name__ == "__init__":
                cases.append(("construction", cls, reference_cls, extras))
        log.clear()
        for how, real, ref, args in cases:
            expected = outcome(ref, args, kwargs)
            got = outcome(real, args, kwargs)
            checked += 1
            assert expected is not None and expected[0] is TypeError, (how, args, kwargs)
            if got != expected:
                mismatches.append((how, args, kwargs, got, expected))
        assert log == [], (count, kwargs)
        assert vars(inst) == before
    assert mismatches == []
    assert checked >= 10


@pytest.mark.parametrize("m", [m for m in METHODS if len(m.params) > 1], ids=lambda m: m.qualname)
def test_keyword_calls_are_accepted(m, monkeypatch):
    """The keyword form reaches the camera exactly as the positional form does."""
    params = m.params
    method = m.function(Tavrocam)
    cls = m.owner(Tavrocam)
    values = {"selector": "Blue", "value": 1.5, "device_index": 0, "val": 5000}

    def run(keywords):
        log = []
        cam = Recorder(log)
        monkeypatch.setattr(Tavrocam, "pylon", Recorder(log, "pylon"))
        inst = cls.__new__(cls)
        if cls is not C:
            object.__setattr__(inst, "_cam", cam)
        args = [values.get(p, f"<{p}>") for p in params[1:]]
        with contextlib.redirect_stdout(io.StringIO()) as out:
            if keywords == "equal":
                # keyword names equal to the parameters' but not the same objects
                names = ["".join(list(p)) for p in params[1:]]
                assert all(a is not b for a, b in zip(names, params[1:]))
                result = method(inst, **dict(zip(names, args)))
            elif keywords:
                result = method(self=inst, **dict(zip(params[1:], args)))
            else:
                result = method(inst, *args)
        state = {k: v for k, v in vars(inst).items() if not isinstance(v, Recorder)}
        return repr(result), log, out.getvalue(), state, inst

    positional = run(False)
    keyword = run(True)
    assert positional[:4] == keyword[:4] == run("equal")[:4]
    if method.__name__ == "__init__" and cls is not C:
        assert keyword[4]._cam == f"<{params[1]}>"
