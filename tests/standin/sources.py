"""The project's own files that tests read: the README, the documentation,
the build files and the installed stub."""

from __future__ import annotations

import ast
import re
import sys
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
DOCS = ROOT / "docs"
STUB = Path("Tavrocam-stubs", "__init__.pyi")

# A fenced ``python`` block, with the marker lines that may stand right above it:
#   <!-- parked: what it waits for -->  shown and compiled, neither run nor type-checked
#                                        (deleting the line puts it back into the test run)
#   <!-- env: NAME=VALUE ... -->         run with these environment variables
#   <!-- pytest: ARGUMENTS -->           the block is a test file, run by pytest ARGUMENTS
MARKERS = ("parked", "env", "pytest")
BLOCK = re.compile(r"^(?P<markers>(?:<!-- [a-z]+: [^\n]*? -->\n)*)```python\n(?P<code>.*?)^```$",
                   re.MULTILINE | re.DOTALL)
MARKER = re.compile(r"<!-- (?P<key>[a-z]+): (?P<value>[^\n]*?) -->")


class Example(NamedTuple):
    path: Path
    line: int                   # of the opening fence
    code: str
    markers: dict[str, str]     # of the lines above the fence

    @property
    def name(self) -> str:
        return f"{self.path.relative_to(ROOT).as_posix()}:{self.line}"

    @property
    def parked(self) -> str:
        """Why the example is parked; "" when it runs."""
        return self.markers.get("parked", "")

    @property
    def env(self) -> dict[str, str]:
        return dict(item.split("=", 1) for item in self.markers.get("env", "").split())


def documents() -> list[Path]:
    """The README and every Markdown page of the documentation."""
    return [README, *sorted(DOCS.rglob("*.md"))]


def examples() -> list[Example]:
    """Every fenced ``python`` block of the README and the documentation, in order."""
    found = []
    for path in documents():
        text = path.read_text(encoding="utf-8")
        for match in BLOCK.finditer(text):
            fence = text.count("\n", 0, match.start("code"))  # the opening fence's line number
            markers = {m["key"]: m["value"] for m in MARKER.finditer(match["markers"])}
            found.append(Example(path, fence, match["code"], markers))
    return found


def python_blocks() -> list[str]:
    """The code of every example that runs (not parked) as a program, in order."""
    return [example.code for example in examples() if not example.parked]


def read_stub():
    """The installed stub as ({nested class name: ast.ClassDef},
    {annotated attribute of the outer class: annotation text})."""
    found = [Path(entry, STUB) for entry in sys.path if Path(entry, STUB).is_file()]
    assert found, f"{STUB} is not installed"
    tree = ast.parse(found[0].read_text(encoding="utf-8"))
    outer = next(node for node in tree.body if isinstance(node, ast.ClassDef))
    assert outer.name == "CLASS_Tavrocam"
    classes = {node.name: node for node in outer.body if isinstance(node, ast.ClassDef)}
    attributes = {node.target.id: ast.unparse(node.annotation)
                  for node in outer.body if isinstance(node, ast.AnnAssign)}
    return classes, attributes


def stub_methods(cls: ast.ClassDef) -> list[ast.FunctionDef]:
    return [node for node in cls.body if isinstance(node, ast.FunctionDef)]
