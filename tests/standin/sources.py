"""The project's own files that tests read: the README, the build files and the installed stub."""

import ast
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
STUB = Path("Tavrocam-stubs", "__init__.pyi")


def python_blocks() -> list[str]:
    """The README's fenced ``python`` code blocks, in order."""
    return re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"),
                      re.MULTILINE | re.DOTALL)


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
