"""The stub-only package Tavrocam-stubs, checked against the built module, the
SDK's emulated camera and mypy itself."""

import ast
import json
import os
import re
import subprocess
import sys
import typing

import pytest

import standin
from standin.sources import python_blocks, read_stub, stub_methods

CLASSES, ATTRIBUTES = read_stub()
# (instance attribute, group class, method, return annotation) of every getter
GETTERS = [(attribute, cls, method.name, ast.unparse(method.returns))
           for attribute, cls in ATTRIBUTES.items() if cls in CLASSES
           for method in stub_methods(CLASSES[cls]) if method.name.startswith("CUF_GET_")]


def run(*args, cwd, env=None):
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True,
                          encoding="utf-8", timeout=600)


def test_stubtest_finds_the_stubs_consistent_with_the_module(tmp_path):
    # Names, parameters and defaults of all sixteen classes and their methods.
    result = run("-m", "mypy.stubtest", "Tavrocam", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


def test_the_committed_stub_is_what_the_catalogue_makes():
    from standin import reference

    assert reference.STUB.read_text(encoding="utf-8") == reference.stub(), \
        "run `make stub` and commit the stub"


def test_instance_attributes_are_those_the_constructor_sets(T, sdk, capsys):
    # stubtest cannot see instance attributes: compare with a connected instance.
    api = T()
    capsys.readouterr()
    assert list(ATTRIBUTES) == list(vars(api))
    assert ATTRIBUTES == {"cam": "pylon.InstantCamera",
                          **{name: type(group).__name__ for name, group in vars(api).items()
                             if name != "cam"}}


# --------------------------------------------------------------------- mypy

# Each line is a mistake mypy must report, with the error code it reports.
MISTAKES = {
    "misspelt method": ("api.ImageFormat.CUF_GET_Widht()", "attr-defined"),
    "wrong group name": ("api.ImageFormats.CUF_GET_Width()", "attr-defined"),
    "group class for its attribute": ("api.AnalogControl.CUF_GET_Gain()", "call-arg"),
    "missing argument": ("api.ImageFormat.CUF_SET_Width()", "call-arg"),
    "surplus argument": ("api.ImageFormat.CUF_SET_CenterX(5)", "call-arg"),
    "unknown keyword": ("api.Analog.CUF_GET_BalanceRatio(channel='Red')", "call-arg"),
    "result of a setter": ("done = api.Acquisition.CUF_SET_ExposureTime(5000.0)", "func-returns-value"),
    "getter result of another type": ("name: int = api.Device.CUF_GET_ModelName()", "assignment"),
    "ratios are not a list": ("api.Analog.CUF_GET_BalanceRatioAll().append(1.0)", "attr-defined"),
    "argument of another type": ("api.ImageFormat.CUF_SET_Width('640')", "arg-type"),
}
MISTAKES_HEAD = ["from Tavrocam import CLASS_Tavrocam", "api = CLASS_Tavrocam()"]
ERROR = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """mypy --strict over the examples of the README and the docs and a file of
    mistakes, in one run; returns the errors as {(file, line): [code, ...]} with
    mypy's output. pypylon has no type information: examples that import it
    take it as Any, and may subclass its handler classes."""
    where = tmp_path_factory.mktemp("mypy")
    (where / "mypy.ini").write_text("[mypy]\n[mypy-pypylon,pypylon.*]\nignore_missing_imports = True\n",
                                    encoding="utf-8")
    files = []
    for number, block in enumerate(python_blocks(), 1):
        files.append(f"example_{number}.py")
        (where / files[-1]).write_text(block, encoding="utf-8")
    lines = MISTAKES_HEAD + [line for line, _ in MISTAKES.values()]
    (where / "mistakes.py").write_text("\n".join(lines) + "\n", encoding="utf-8")
    result = run("-m", "mypy", "--strict", "--allow-subclassing-any", "--config-file", "mypy.ini",
                 "--no-error-summary", "--no-pretty",
                 "--cache-dir", str(where / ".cache"), *files, "mistakes.py", cwd=where)
    errors = {}
    for line in result.stdout.splitlines():
        found = ERROR.match(line)
        if found:
            errors.setdefault((found["file"], int(found["line"])), []).append(found["code"])
    assert result.returncode in (0, 1) and result.stderr == "", result.stdout + result.stderr
    return errors, result.stdout


def test_examples_pass_strict_checking(mypy_errors):
    errors, output = mypy_errors
    assert python_blocks()
    assert [place for place in errors if place[0] != "mistakes.py"] == [], output


@pytest.mark.parametrize("line,code", MISTAKES.values(), ids=MISTAKES.keys())
def test_mistake_is_a_mypy_error(mypy_errors, line, code):
    errors, output = mypy_errors
    number = len(MISTAKES_HEAD) + [entry for entry, _ in MISTAKES.values()].index(line) + 1
    assert code in errors.get(("mistakes.py", number), []), output


def test_correct_lines_are_no_mypy_errors(mypy_errors):
    errors, output = mypy_errors
    flagged = {line for file, line in errors if file == "mistakes.py"}
    assert flagged == set(range(len(MISTAKES_HEAD) + 1, len(MISTAKES_HEAD) + len(MISTAKES) + 1)), output


# ------------------------------------------------ return types on the emulator

EMULATED_GETTERS = r"""
import contextlib, io, json, sys
from Tavrocam import CLASS_Tavrocam
with contextlib.redirect_stdout(io.StringIO()):
    api = CLASS_Tavrocam()
result = {}
offered = {node.GetNode().GetName() for node in api.cam.GetNodeMap().GetNodes()}
for attribute, method, nodes in json.loads(sys.argv[1]):
    lacking = [node for node in nodes if node not in offered]
    try:
        result[method] = {"lacking": lacking, "value": repr(getattr(getattr(api, attribute), method)())}
    except Exception as exc:
        result[method] = {"lacking": lacking, "raised": type(exc).__name__}
with contextlib.redirect_stdout(io.StringIO()):
    api.close()
print(json.dumps(result))
"""


def conforms(value, annotation):
    """Whether ``value`` is exactly of the stub's return type (bool is no int here)."""
    hint = eval(annotation, {"int": int, "float": float, "str": str, "bool": bool, "dict": dict})
    origin = typing.get_origin(hint)
    if origin is None:
        return type(value) is hint
    key, item = typing.get_args(hint)
    return type(value) is origin and all(
        type(k) is key and type(v) is item for k, v in value.items())


@pytest.fixture(scope="module")
def emulated(tavrocam, tmp_path_factory):
    """What each getter of the stub returns on an emulated camera, with the
    nodes it reaches that the emulator lacks."""
    T = tavrocam.CLASS_Tavrocam
    table = [(attribute, method, standin.nodes_reached(getattr(T, cls), method))
             for attribute, cls, method, _ in GETTERS]
    env = dict(os.environ, PYLON_CAMEMU="1")
    result = run("-c", EMULATED_GETTERS, json.dumps(table), cwd=tmp_path_factory.mktemp("emulated"),
                 env=env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("method,annotation", [(m, a) for _, _, m, a in GETTERS],
                         ids=[m for _, _, m, _ in GETTERS])
def test_getter_returns_the_type_the_stub_declares(emulated, method, annotation):
    outcome = emulated[method]
    if outcome["lacking"]:
        # Every read of a node the camera lacks fails the same way.
        assert outcome.get("raised") == "LogicalErrorException", outcome
    else:
        assert "value" in outcome, outcome
        assert conforms(ast.literal_eval(outcome["value"]), annotation), (annotation, outcome)
