"""MkDocs hook: what the documentation shows that the code itself makes.

- ``<!-- generated: NAME -->`` alone on a line of a page becomes the table
  NAME of ``TABLES``, made from the code at every build: ``groups`` (each
  method of the fourteen groups with its signature, from the installed stub,
  and the nodes it reaches, run on the test suite's stand-in camera),
  ``reference`` (each method of the fourteen groups with its nodes, their
  type, unit and range or entries on the acA2040-55uc, what it does with a
  failure and an example: ``standin.reference``, from the tests' statement of
  the class tree and the simulated camera's model table),
  ``assumed-values`` (``tavrocam_sim.model.assumed_values()``) and
  ``sensor-model`` (``tavrocam_sim.sensor.MODEL``). A name not in
  ``TABLES`` fails the build.
- The pictures under ``images/generated/`` are made by
  ``docs/scripts/make_images.py`` from the simulated camera at every build and
  never written into the checkout; ``view.png``, the live view's page, by
  ``docs/scripts/view_screenshot.py`` in headless chromium.

Nothing here imports MkDocs at module level, so the tests (which run without
the docs toolchain) load this file and check what it makes.
"""

from __future__ import annotations

import ast
import functools
import html
import importlib.util
import re
import sys
import warnings
from pathlib import Path
from typing import Any, Callable

ROOT = Path(__file__).resolve().parents[2]


def _importable() -> None:
    """The tests' stand-in camera importable (for the nodes a method reaches).
    MkDocs puts sys.path back after loading a hook, so this runs when the
    tables are made. The module and the simulator are the installed package:
    `make docs` installs the checkout into its venv."""
    tests = str(ROOT / "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
    # pypylon's SWIG types, at import time (as in the test suite's settings)
    warnings.filterwarnings("ignore", "builtin type .* has no __module__ attribute", DeprecationWarning)

MARKER = re.compile(r"^<!-- generated: (?P<name>[\w-]+) -->$", re.MULTILINE)
IMAGES = "images/generated"


def groups_table() -> str:
    """The table of groups, methods and nodes."""
    _importable()
    import standin
    from standin.sources import read_stub, stub_methods
    from Tavrocam import CLASS_Tavrocam

    classes, attributes = read_stub()
    rows = ["| Group | Method | Nodes |", "|---|---|---|"]
    for attribute, cls in attributes.items():
        if cls not in classes:
            continue
        group = f"`{attribute}` (`{cls}`)"
        for method in stub_methods(classes[cls]):
            if method.name.startswith("__"):
                continue
            params = [f"{arg.arg}: {ast.unparse(arg.annotation)}" for arg in method.args.args[1:]]
            for index, default in enumerate(reversed(method.args.defaults), 1):
                params[-index] += f" = {ast.unparse(default)}"
            returns = ast.unparse(method.returns)
            signature = f"{method.name}({', '.join(params)})" + (
                "" if returns == "None" else f" -> {returns}")
            nodes = standin.nodes_reached(getattr(CLASS_Tavrocam, cls), method.name)
            rows.append(f"| {group} | `{signature}` | {', '.join(f'`{n}`' for n in nodes) or 'none'} |")
            group = ""
    return "\n".join(rows) + "\n"


def _escaped(text: str) -> str:
    """Markdown text with < and > shown as such outside code spans (a value
    such as "'<full name>'" would otherwise be taken for an HTML tag)."""
    parts = text.split("`")
    parts[::2] = [html.escape(part, quote=False) for part in parts[::2]]
    return "`".join(parts)


def assumed_values_table() -> str:
    """The values the simulated camera's model chose without a source."""
    _importable()
    from tavrocam_sim import model

    rows = ["| Value | Assumed |", "|---|---|"]
    rows += [f"| {_escaped(what)} | {_escaped(value)} |" for what, value in model.assumed_values()]
    return "\n".join(rows) + "\n"


def reference_table() -> str:
    """The method reference of the fourteen groups."""
    _importable()
    from standin import reference

    return reference.markdown()


def sensor_model_table() -> str:
    """The simulated camera's sensor model: each value, its confidence and source."""
    _importable()
    from tavrocam_sim import sensor

    rows = ["| Value | In the model | Confidence | Source |", "|---|---|---|---|"]
    for fact in sensor.MODEL:
        number = f"{fact.value:,.0f}" if fact.value >= 1000 else f"{fact.value:.4g}"
        value = "see the source" if fact.value != fact.value else f"{number} {fact.unit}"
        rows.append(f"| `{fact.name}` | {value.strip()} | {fact.confidence} | "
                    f"{_escaped(fact.source)} |")
    return "\n".join(rows) + "\n"


TABLES: dict[str, Callable[[], str]] = {
    "groups": groups_table,
    "reference": reference_table,
    "assumed-values": assumed_values_table,
    "sensor-model": sensor_model_table,
}


@functools.cache
def table(name: str) -> str:
    if name not in TABLES:
        raise ValueError(f"<!-- generated: {name} --> names no table; there are {', '.join(TABLES)}")
    return TABLES[name]()


def render(markdown: str) -> str:
    """The page with every marker replaced by its table."""
    return MARKER.sub(lambda found: table(found["name"]), markdown)


@functools.cache
def images() -> dict[str, bytes]:
    _importable()
    spec = importlib.util.spec_from_file_location("make_images", ROOT / "docs/scripts/make_images.py")
    assert spec and spec.loader
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    made = script.make_images()
    made.update(view_images())
    return made


def view_images() -> dict[str, bytes]:
    """The live view's page (``view.png``), shot in headless chromium. On
    Read the Docs, which has no browser, its live image alone (``view.png``
    then a JPEG the view itself made)."""
    import os

    spec = importlib.util.spec_from_file_location("view_screenshot", ROOT / "docs/scripts/view_screenshot.py")
    assert spec and spec.loader
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    if not script.browser_found() and os.environ.get("READTHEDOCS") == "True":
        return {"view.png": script.preview()}
    return {"view.png": script.screenshot()}


# ------------------------------------------------------------ MkDocs events

def on_page_markdown(markdown: str, **kwargs: Any) -> str:
    return render(markdown)


def on_files(files: Any, config: Any) -> Any:
    from mkdocs.structure.files import File

    for name, data in images().items():
        files.append(File.generated(config, f"{IMAGES}/{name}", content=data))
    return files
