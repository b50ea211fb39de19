"""The GenICam XML of the simulated camera, made from the model table.

Every feature is a GenApi node over a register of the simulated device: an
``IntReg``, ``FloatReg`` or ``StringReg`` (8 bytes a value, 64 for a string)
at an address of its own; a selected feature has one register per selector
entry, addressed through ``pIndex`` by the selector's register. Bounds,
values and locks given as formulas become SwissKnife nodes, so GenApi itself
enforces them and words the errors.
"""

from __future__ import annotations

import re
from collections import namedtuple
from html import escape

from . import model
from .model import ModelError

# The node map's own name, as pylon writes it in a saved feature file's
# header ("Device = Basler::UsbCameraParams"; confirmed for this model).
DESCRIPTION = "UsbCameraParams"
KINDS = ("Integer", "Float", "Boolean", "Enumeration", "String", "Command", "Register")
SLOT = 8
STRING_LENGTH = 64
_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_NUMBER = (int, float)


# Where each node's registers are (name -> (address, count, length)), and
# the size of the register space.
Layout = namedtuple("Layout", "registers size")


def entries(node: model.Node) -> list[tuple[str, int, str | None]]:
    """An Enumeration's entries as (name, value, available formula)."""
    rows = []
    for index, entry in enumerate(node.entries):
        if isinstance(entry, str):
            entry = (entry, index)
        name, value, *rest = entry
        rows.append((name, value, rest[0] if rest else None))
    return rows


def _has_register(node: model.Node) -> bool:
    return node.value is None


def selector_count(selector: model.Node) -> int:
    """How many values a selector selects: an Enumeration's entries, an
    Integer's steps from its minimum to its maximum."""
    if selector.kind == "Enumeration":
        return len(selector.entries)
    return (selector.max - selector.min) // selector.inc + 1


def _integer_selector(node: model.Node) -> bool:
    """Whether ``node`` can select as an Integer: from 0 to a number, its
    increment dividing the register slot (its value times SLOT // inc is the
    offset of its slot)."""
    return node.kind == "Integer" and node.min == 0 and isinstance(node.max, int) \
        and isinstance(node.inc, int) and node.inc > 0 and SLOT % node.inc == 0 \
        and node.max % node.inc == 0


def _fail(node, text):
    raise ModelError(f"model node {node.name!r}: {text}")


def validate(nodes=model.NODES) -> dict:
    """Check the table; return it by name. Raises ModelError naming the node."""
    by_name: dict = {}
    for node in nodes:
        if not isinstance(node, model.Node) or not isinstance(node.name, str) \
                or not _IDENT.fullmatch(node.name):
            raise ModelError(f"model row {node!r}: not a Node with a valid name")
        if node.name in by_name:
            _fail(node, "defined twice")
        by_name[node.name] = node
    known = set(by_name) | set(model.INTERNAL)
    for node in nodes:
        if node.kind not in KINDS:
            _fail(node, f"unknown kind {node.kind!r}")
        if node.access not in ("RW", "RO"):
            _fail(node, f"access must be RW or RO, not {node.access!r}")
        count = 1
        if node.selector is not None:
            selector = by_name.get(node.selector)
            if selector is None or not (selector.kind == "Enumeration"
                                        or _integer_selector(selector)):
                _fail(node, f"selector {node.selector!r} is not an Enumeration of the model "
                            f"nor an Integer from 0 whose increment divides {SLOT}")
            count = selector_count(selector)
            if _defaults(node) and node.kind != "Command" and len(_defaults(node)) != count:
                _fail(node, f"needs one default per entry of {node.selector} ({count})")
        if node.kind == "Register":
            if isinstance(node.length, bool) or not isinstance(node.length, int) \
                    or node.length <= 0 or node.default is not None:
                _fail(node, "a Register needs a length in bytes and no default")
        if node.kind == "Enumeration":
            if not node.entries:
                _fail(node, "an Enumeration needs entries")
            names = [name for name, _, _ in entries(node)]
            if len(set(names)) != len(names):
                _fail(node, "has an entry twice")
        for default in _defaults(node):
            _check_value(node, default, by_name)
        for name in node.invalidated_by:
            if name not in by_name:
                _fail(node, f"invalidated_by names unknown node {name!r}")
        for text in _formulas(node):
            unknown = sorted(set(_IDENT.findall(text)) - known)
            if unknown:
                _fail(node, f"formula {text!r} names unknown nodes {unknown}")
    return by_name


def _defaults(node):
    if node.default is None or node.derived:
        return ()
    return node.default if isinstance(node.default, tuple) else (node.default,)


def _check_value(node, value, by_name):
    kind = node.kind
    if kind == "Enumeration":
        if value not in [name for name, _, _ in entries(node)]:
            _fail(node, f"default {value!r} is not one of its entries")
    elif kind == "Boolean":
        if not isinstance(value, bool):
            _fail(node, f"default {value!r} is not a bool")
    elif kind == "String":
        if not isinstance(value, str) or len(value.encode()) >= STRING_LENGTH:
            _fail(node, f"default {value!r} is not a string shorter than {STRING_LENGTH} bytes")
    elif kind in ("Integer", "Float"):
        numeric = int if kind == "Integer" else _NUMBER
        if isinstance(value, bool) or not isinstance(value, numeric):
            _fail(node, f"default {value!r} is not a number of its kind")
        low = node.min if isinstance(node.min, _NUMBER) else None
        high = node.max if isinstance(node.max, _NUMBER) else None
        if (low is not None and value < low) or (high is not None and value > high):
            _fail(node, f"default {value!r} is outside {low} .. {high}")
        if kind == "Integer" and node.inc and low is not None and (value - low) % node.inc:
            _fail(node, f"default {value!r} is off the increment {node.inc} from {low}")
    elif kind in ("Command", "Register"):
        _fail(node, f"a {kind} has no default")


def _formulas(node):
    texts = [node.value, node.locked]
    texts += [bound for bound in (node.min, node.max) if isinstance(bound, str)]
    if node.kind == "Enumeration":
        texts += [available for _, _, available in entries(node)]
    return [text for text in texts if text is not None]


def layout(nodes=model.NODES) -> Layout:
    """Register addresses: each node with a register, then the internal ones."""
    by_name = {node.name: node for node in nodes}
    registers, address = {}, 0
    for node in nodes:
        if not _has_register(node):
            continue
        count = selector_count(by_name[node.selector]) if node.selector else 1
        if node.kind in ("Command", "Register"):
            count = 1
        length = {"String": STRING_LENGTH, "Register": node.length}.get(node.kind, SLOT)
        registers[node.name] = (address, count, length)
        address += count * length
    for name in model.INTERNAL:
        registers[name] = (address, 1, SLOT)
        address += SLOT
    return Layout(registers, address)


def streamable(node: model.Node, nodes=model.NODES) -> bool:
    """Whether a saved feature file holds the feature: a setting of the
    camera's own, readable and writable, that no formula computes; a
    selector, when it selects such a setting (pylon writes a selector's
    values with the values it selects)."""
    if node.kind == "Command" or node.access != "RW" or node.value is not None \
            or node.derived or node.name in model.NOT_SAVED:
        return False
    selected = [other for other in nodes if other.selector == node.name]
    return not selected or any(streamable(other, nodes) for other in selected)


def categories(nodes=model.NODES) -> list[tuple[str, tuple[str, ...]]]:
    """The categories (name, features) of the node map, in GenApi's walking
    order: the model's, with each feature of ``nodes`` in exactly one, and a
    last one for the features the model's categories leave out."""
    present = {node.name for node in nodes}
    listed: set = set()
    groups = []
    for name, members in model.CATEGORIES:
        members = tuple(m for m in members if m in present and m not in listed)
        listed.update(members)
        if members:
            groups.append((name, members))
    rest = tuple(node.name for node in nodes if node.name not in listed)
    if rest:
        groups.append(("Miscellaneous", rest))
    return groups


def _invalidators(names):
    names = (*names, model.REWRITES_ALL)
    return "".join(f"<pInvalidator>{name}</pInvalidator>" for name in names)


def _tag(name, text):
    return f"<{name}>{escape(str(text))}</{name}>"


def _number(value):
    return repr(float(value)) if isinstance(value, float) else str(int(value))


def knife(name, formula, reference=lambda variable: f"R_{variable}", kind="IntSwissKnife"):
    """A SwissKnife node ``name`` computing ``formula``, each variable the
    node ``reference(variable)`` names (its register, by default)."""
    variables = "".join(f'<pVariable Name="{v}">{reference(v)}</pVariable>'
                        for v in sorted(set(_IDENT.findall(formula))))
    return f'<{kind} Name="{name}">{variables}{_tag("Formula", formula)}</{kind}>'


class _Writer:
    def __init__(self, by_name, where):
        self.by_name = by_name
        self.nodes = tuple(by_name.values())
        self.where = where
        self.out: list[str] = []

    def reference(self, name):
        """The node a formula variable reads: a node's raw register (no
        access checks, so a formula works whatever the feature's state), or
        the node itself when its value is a formula."""
        node = self.by_name.get(name)
        return name if node is not None and not _has_register(node) else f"R_{name}"

    def knife(self, name, formula, kind="IntSwissKnife"):
        self.out.append(knife(name, formula, self.reference, kind))
        return name

    def register(self, node):
        address, count, length = self.where[node.name]
        kind = {"Float": "FloatReg", "String": "StringReg"}.get(node.kind, "IntReg")
        index = ""
        if count > 1:
            selector = self.by_name[node.selector]
            offset = length if selector.kind == "Enumeration" else length // selector.inc
            index = f'<pIndex Offset="{offset}">R_{node.selector}</pIndex>'
        cache = "NoCache" if (node.volatile or node.derived or node.kind == "Command") \
            else "WriteThrough"
        invalidators = ""
        if cache != "NoCache":
            invalidators = _invalidators(node.invalidated_by)
        self.out.append(register(f"R_{node.name}", address, "Device", kind=kind, length=length,
                                 access="RO" if node.derived else "RW", cache=cache,
                                 index=index, extra=invalidators))

    def feature(self, node, selected):
        name = node.name
        head = ""
        if node.locked:
            head += f"<pIsLocked>{self.knife(name + '_Locked', node.locked)}</pIsLocked>"
        if node.access == "RO" and not node.derived and node.value is None:
            head += "<ImposedAccessMode>RO</ImposedAccessMode>"
        if streamable(node, self.nodes):
            head += "<Streamable>Yes</Streamable>"
        if node.kind in ("String", "Register"):  # the register is the feature
            address, _, length = self.where[name]
            self.out.append(register(name, address, "Device", head=head, length=length,
                                     kind="StringReg" if node.kind == "String" else "Register",
                                     access=node.access, cache="NoCache"))
            return
        if node.value is not None:
            kind = "SwissKnife" if node.kind == "Float" else "IntSwissKnife"
            source = self.knife(name + "_Value", node.value, kind)
        else:
            source = f"R_{name}"
            self.register(node)
        tail = "".join(f"<pSelected>{s}</pSelected>" for s in selected.get(name, ()))
        body = f"<pValue>{source}</pValue>"
        if node.kind in ("Integer", "Float"):
            body += self.bounds(node)
        if node.kind == "Integer" and node.inc:
            body += _tag("Inc", node.inc)
        elif node.kind == "Float":
            if node.unit:
                body += _tag("Unit", node.unit)
            if name in model.DISPLAY_PRECISION:
                body += (_tag("DisplayNotation", "Fixed")
                         + _tag("DisplayPrecision", model.DISPLAY_PRECISION[name]))
        elif node.kind == "Boolean":
            body += "<OnValue>1</OnValue><OffValue>0</OffValue>"
        elif node.kind == "Enumeration":  # the entries come before the value
            listed = ""
            for entry, value, available in entries(node):
                avail = ""
                if available:
                    avail = self.knife(f"{name}_{entry}_Available", available)
                    avail = f"<pIsAvailable>{avail}</pIsAvailable>"
                listed += (f'<EnumEntry Name="{escape(entry)}">{avail}'
                           f'{_tag("Value", value)}</EnumEntry>')
            body = listed + body
        elif node.kind == "Command":
            body += "<CommandValue>1</CommandValue>"
        self.out.append(f'<{node.kind} Name="{name}">{head}{body}{tail}</{node.kind}>')

    def bounds(self, node):
        text = ""
        for tag, bound in (("Min", node.min), ("Max", node.max)):
            if isinstance(bound, str):
                kind = "SwissKnife" if node.kind == "Float" else "IntSwissKnife"
                text += f"<p{tag}>{self.knife(f'{node.name}_{tag}', bound, kind)}</p{tag}>"
            elif bound is not None:
                text += _tag(tag, _number(bound))
        return text


def generate(nodes=model.NODES) -> str:
    """The node map's XML (GenApi schema 1.1)."""
    by_name = validate(nodes)
    where = layout(nodes).registers
    selected: dict = {}
    for node in nodes:
        if node.selector:
            selected.setdefault(node.selector, []).append(node.name)
    writer = _Writer(by_name, where)
    for node in nodes:
        writer.feature(node, selected)
    for name, invalidated_by in model.INTERNAL.items():
        writer.out.append(register(f"R_{name}", where[name][0], "Device", length=SLOT,
                                   cache="WriteThrough", extra=_invalidators(invalidated_by)))
    groups = categories(nodes)
    return document(DESCRIPTION, "Simulated Basler acA2040-55uc", "C0001", "C0100",
                    [("Root", [name for name, _ in groups])] + groups, writer.out,
                    "Device", "Standard")


def register(name, address, port, *, kind="IntReg", length=8, access="RW", cache=None,
             index="", extra="", sign="Signed", head="") -> str:
    """A register node of ``port``: an IntReg (``sign``ed), FloatReg,
    StringReg or Register of ``length`` bytes at ``address``, little-endian;
    ``head`` what precedes the address (locks, access), ``index`` a pIndex,
    ``extra`` what follows Cachable (pInvalidator)."""
    cache = f"<Cachable>{cache}</Cachable>" if cache else ""
    tail = f"<Sign>{sign}</Sign>" if kind == "IntReg" else ""
    if kind in ("IntReg", "FloatReg"):
        tail += "<Endianess>LittleEndian</Endianess>"
    return (f'<{kind} Name="{name}">{head}<Address>{address:#x}</Address>{index}'
            f"<Length>{length}</Length><AccessMode>{access}</AccessMode><pPort>{port}</pPort>"
            f"{cache}{extra}{tail}</{kind}>")


def document(model_name, tip, product, version, categories, parts, port,
             namespace="Custom") -> str:
    """A GenApi XML (schema 1.1): ``categories`` [(name, features)] (the
    first is Root), then ``parts``, then the port; the GUIDs end in
    ``product`` and ``version``."""
    listed = "".join(
        f'<Category Name="{name}">' + "".join(f"<pFeature>{f}</pFeature>" for f in members)
        + "</Category>\n" for name, members in categories)
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            f'<RegisterDescription ModelName="{model_name}" VendorName="{model.VENDOR_NAME}"'
            f' ToolTip="{tip}" StandardNameSpace="None"'
            ' SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"'
            ' MajorVersion="1" MinorVersion="0" SubMinorVersion="0"'
            f' ProductGuid="7A3B0C52-4E61-4C0F-9D3A-2040055{product}"'
            f' VersionGuid="7A3B0C52-4E61-4C0F-9D3A-2040055{version}"'
            ' xmlns="http://www.genicam.org/GenApi/Version_1_1">\n'
            + listed + "\n".join(parts)
            + f'\n<Port Name="{port}" NameSpace="{namespace}"/>\n</RegisterDescription>\n')
