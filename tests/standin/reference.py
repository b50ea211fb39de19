"""What the type stub and the docs' method reference say about each method.

Made from two statements and nothing else: the class tree (standin.catalogue)
and the camera (tavrocam_sim.model, the simulated acA2040-55uc's table). A
plain getter or setter has its node's type, unit, range or entries; a bound
the model gives as a formula is read from the simulated camera at its start
settings. Every figure the model marks as assumed is said to be assumed.

    python tests/standin/reference.py          writes src/stubs/Tavrocam-stubs/__init__.pyi
    python tests/standin/reference.py --check  exits 1 when the committed stub differs
"""

from __future__ import annotations

import functools
import re
import sys
from pathlib import Path
from typing import NamedTuple

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "src"))

from standin.catalogue import ATTRIBUTE, BASE, FAILURES, GROUPS, METHODS, OUTER, Method  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "stubs" / "Tavrocam-stubs" / "__init__.pyi"

PYTHON_TYPE = {"Integer": "int", "Float": "float", "Boolean": "bool", "Enumeration": "str",
               "String": "str"}
UNIT = {"us": "µs", "C": "°C", "dB": "dB"}
# The one-line examples of the methods with logic of their own.
EXAMPLES = {
    "CUF_SET_CenterX": "()", "CUF_SET_CenterY": "()",
    "CUF_GET_BalanceRatio": '("Blue")', "CUF_SET_BalanceRatio": '("Red", 1.5)',
    "CUF_GET_BalanceRatioAll": "()", "CUF_SET_PylonColorAdaptation": "(True)",
    "CUF_SET_ExposureTime": "(5000.0)", "CUF_SET_LightDeviceSelector": '("Device1")',
}


class NodeFacts(NamedTuple):
    """A node as the reference states it."""
    name: str
    kind: str | None = None      # None: the camera has no such node
    unit: str | None = None
    minimum: float | None = None
    maximum: float | None = None
    inc: int | None = None
    follows: tuple = ()          # the nodes a formula bound depends on
    entries: tuple = ()
    read_only: bool = False
    value: str | None = None     # what a read-only node reads (at start, when it changes)
    assumed: tuple = ()          # "minimum", "maximum", "step", "entries", "value"

    def text(self) -> str:
        if self.kind is None:
            return f"`{self.name}`: not a feature of the acA2040-55uc"
        unit = f", {UNIT.get(self.unit, self.unit)}" if self.unit else ""
        head = f"`{self.name}` ({self.kind}{unit}"
        if self.minimum is not None:
            head += f", {_number(self.minimum)} to {_number(self.maximum)}"
            if self.inc not in (None, 1):
                head += f", step {self.inc}"
            if self.follows:
                head += f" at start, following {', '.join(self.follows)}"
        elif self.entries:
            head += ": " + ", ".join(self.entries)
        elif self.kind == "Boolean":
            head += ": True, False"
        if self.read_only:
            head += ", read-only" + (f", reads {self.value}" if self.value else "")
        if self.assumed:
            head += f"; assumed: {', '.join(self.assumed)}"
        return head + ")"


class Entry(NamedTuple):
    """One method as the stub and the reference describe it."""
    method: Method
    params: tuple   # the parameters' types, after self
    returns: str
    nodes: tuple    # NodeFacts
    failure: str    # a key of FAILURES
    summary: str
    example: str


def _number(value) -> str:
    return f"{value:.10g}" if isinstance(value, float) else str(value)


def _formula_names(formula: str, model) -> tuple:
    """The nodes a formula follows: those a program can change."""
    names = [word for word in re.findall(r"[A-Za-z_]\w*", formula) if word in model.BY_NAME]
    variable = [n for n in dict.fromkeys(names)
                if model.BY_NAME[n].access != "RO" or model.BY_NAME[n].value is not None]
    return tuple(variable)


@functools.cache
def _start_bounds() -> dict:
    """{node: (min, max)} of the simulated camera at its start settings, for
    the nodes whose model bounds are formulas."""
    import tavrocam_sim
    from tavrocam_sim import model

    wanted = sorted({m.node for m in METHODS if m.node} | {n for m in METHODS for n in m.nodes})
    simulation = tavrocam_sim.Simulation(cameras=1)
    factory = simulation.pylon.TlFactory.GetInstance()
    cam = simulation.pylon.InstantCamera(factory.CreateDevice(factory.EnumerateDevices()[0]))
    cam.Open()
    try:
        bounds = {}
        for name in wanted:
            row = model.BY_NAME.get(name)
            if row is not None and (isinstance(row.min, str) or isinstance(row.max, str)):
                node = getattr(cam, name)
                bounds[name] = (node.GetMin(), node.GetMax())
        return bounds
    finally:
        cam.Close()


def node_facts(name: str) -> NodeFacts:
    from tavrocam_sim import model

    row = model.BY_NAME.get(name)
    if row is None:
        return NodeFacts(name)
    conf = row.conf if isinstance(row.conf, dict) else {"default": row.conf, "min": row.conf,
                                                         "max": row.conf, "inc": row.conf,
                                                         "entries": row.conf}
    minimum = maximum = None
    follows = ()
    if row.min is not None or row.max is not None:
        start = _start_bounds().get(name)
        minimum = start[0] if isinstance(row.min, str) else row.min
        maximum = start[1] if isinstance(row.max, str) else row.max
        follows = tuple(dict.fromkeys(
            n for bound in (row.min, row.max) if isinstance(bound, str)
            for n in _formula_names(bound, model)))
    entries = tuple(e if isinstance(e, str) else e[0] for e in row.entries)
    value = None
    if row.access == "RO" and row.default is not None and row.value is None:
        start = row.default[0] if isinstance(row.default, tuple) else row.default
        value = repr(start).replace("'", '"') + (" at start" if row.derived or row.volatile else "")
    fields = {"min": "minimum", "max": "maximum", "inc": "step", "entries": "entries",
              "default": "value"}
    assumed = [word for field, word in fields.items() if conf.get(field) == "assumed"
               and getattr(row, field) not in (None, ()) and (field != "default" or value)]
    return NodeFacts(name, row.kind, row.unit, minimum, maximum,
                     row.inc if minimum is not None else None, follows, entries,
                     row.access == "RO", value, tuple(assumed))


def _example_value(facts: NodeFacts) -> str:
    from tavrocam_sim import model

    row = model.BY_NAME[facts.name]
    start = row.default[0] if isinstance(row.default, tuple) else row.default
    if facts.kind == "Boolean":
        return "True"
    if facts.entries:
        others = [e for e in facts.entries if e != start]
        return repr((others or list(facts.entries))[0]).replace("'", '"')
    return repr(start)


def entry(m: Method) -> Entry:
    call = f"api.{ATTRIBUTE[m.cls]}.{m.name}"
    if m.node:
        facts = node_facts(m.node)
        kind = PYTHON_TYPE[facts.kind]
        if m.kind == "get":
            return Entry(m, (), kind, (facts,), "raises", f"Read `{m.node}`.", f"{call}()")
        return Entry(m, (kind,), "None", (facts,), "raises", f"Write `{m.node}`.",
                     f"{call}({_example_value(facts)})")
    return Entry(m, m.types, m.returns, tuple(node_facts(n) for n in m.nodes), m.failure,
                 m.summary, call + EXAMPLES.get(m.name, "()"))


def group_entries() -> list[tuple[str, str, list[Entry]]]:
    """(attribute, class, entries) of the fourteen groups, in creation order."""
    return [(g.attribute, g.cls, [entry(m) for m in METHODS
                                  if m.cls == g.cls and not m.name.startswith("__")])
            for g in GROUPS]


# ------------------------------------------------------------------ the stub

STUB_HEAD = '''\
# Type information for the Tavrocam extension module (PEP 561 stub-only package).
# Generated by tests/standin/reference.py from the class tree the tests hold
# the module to and the simulated acA2040-55uc's model table: edit those, then
# run `make stub`.
#
# Getters return what pypylon delivers for the node: int for integer nodes,
# float for float nodes, str for enumerations and strings, bool for booleans.
# Setters pass their argument to the node unchanged and return None; the
# parameter types name what the node accepts.

from typing import Any

# pypylon ships no type information, so pylon (and with it cam) is Any.
from pypylon import pylon as pylon  # type: ignore[import-untyped]

class CLASS_Tavrocam:
    """Basler acA2040-55uc (USB3) camera, its features in fourteen groups."""
'''


def _docstring(lines: list[str], indent: str) -> list[str]:
    if len(lines) == 1:
        return [f'{indent}"""{lines[0]}"""']
    return [f'{indent}"""{lines[0]}'] + [indent + line for line in lines[1:-1]] + [
        f'{indent}{lines[-1]}"""']


def _def(m: Method, params: tuple, returns: str, doc: list[str], indent: str) -> list[str]:
    parts = ["self"]
    defaults = m.defaults or ()
    for index, (name, kind) in enumerate(zip(m.params[1:], params)):
        default = index - (len(params) - len(defaults))
        value = f" = {defaults[default]!r}".replace("'", '"') if default >= 0 else ""
        parts.append(f"{name}: {kind}{value}")
    head = f"{indent}def {m.name}({', '.join(parts)}) -> {returns}:"
    if not doc:
        return [head + " ..."]
    return [head] + _docstring(doc, indent + "    ")


def stub_doc(e: Entry) -> list[str]:
    """The docstring of a group method: the summary, its nodes and what it
    does with a failure."""
    lines = e.summary.splitlines()
    lines += [facts.text().replace("`", "") for facts in e.nodes]
    lines.append(FAILURES[e.failure][0].upper() + FAILURES[e.failure][1:] + ".")
    return lines


def stub() -> str:
    out = STUB_HEAD.splitlines()
    out += ["", f"    class {BASE}:", "        _cam: Any"]
    for m in METHODS:
        if m.cls == BASE:
            out += _def(m, m.types, m.returns, [], "        ")
    for attribute, cls, entries in group_entries():
        out += ["", f"    class {cls}({BASE}):"]
        for m in METHODS:
            if m.cls == cls and m.name.startswith("__"):
                out += _def(m, m.types, m.returns, [], "        ")
        for e in entries:
            out += _def(e.method, e.params, e.returns, stub_doc(e), "        ")
    out += ["", "    # Set by the constructor when it connects; absent when connecting failed.",
            "    cam: pylon.InstantCamera"]
    out += [f"    {g.attribute}: {g.cls}" for g in GROUPS]
    out.append("")
    for m in METHODS:
        if m.cls == OUTER:
            out += _def(m, m.types, m.returns, m.summary.splitlines(), "    ")
    return "\n".join(out) + "\n"


# -------------------------------------------------------------- the reference

def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def markdown() -> str:
    """The method reference: one table per group."""
    out = []
    for attribute, cls, entries in group_entries():
        out += [f"### `{attribute}` (`{cls}`)", "",
                "| Method | Nodes on the acA2040-55uc | Returns | On failure | Example |",
                "|---|---|---|---|---|"]
        for e in entries:
            params = ", ".join(f"{n}: {t}" for n, t in zip(e.method.params[1:], e.params))
            method = f"`{e.method.name}({params})`<br>{_cell(e.summary)}"
            nodes = "<br>".join(_cell(f.text()) for f in e.nodes) or "none"
            out.append(f"| {method} | {nodes} | `{e.returns}` | {FAILURES[e.failure]} | "
                       f"`{_cell(e.example)}` |")
        out.append("")
    return "\n".join(out)


def main(argv: list[str]) -> int:
    made = stub()
    if argv[1:] == ["--check"]:
        same = STUB.read_text(encoding="utf-8") == made
        print(f"{STUB.relative_to(ROOT)} is {'up to date' if same else 'not what the catalogue makes'}")
        return 0 if same else 1
    STUB.write_text(made, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
