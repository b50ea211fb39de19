"""pylon's FeaturePersistence for the simulated camera's node map as well.

pylon's persistence reads and writes a GenApi node map; the simulated
camera's node map is one, wrapped in a Python object pylon cannot take. The
class here unwraps it and lets pylon's own ``FeaturePersistence`` do the
work: the file it writes, the order, the values and every error are
pylon's. pylon's own node maps pass through unchanged. Anything else reaches
pylon only as a stand-in that its bindings refuse with their own TypeError,
so no object of ours is ever taken for a C++ pointer.
"""

from __future__ import annotations

import inspect

from .pypylon_sdk import genicam, pylon as _pylon
from .registers import Connection

_WRONG = object()  # what pylon sees for a node map it cannot take: refused, never read


def _static(obj, name):
    """``obj.name`` without running ``__getattr__`` (a simulated node map
    answers every name with a node), or None."""
    try:
        value = inspect.getattr_static(obj, name)
    except AttributeError:
        return None
    if not isinstance(value, tuple) and hasattr(type(value), "__get__"):
        value = value.__get__(obj, type(obj))  # a property or a slot
    return value


def _connection(node_map):
    """The registers.Connection behind a simulated node map, or None."""
    connection = _static(node_map, "_connection")
    if connection is None:  # a node map that reaches its device through its camera
        camera = _static(node_map, "_camera")
        device = _static(camera, "_sim") if camera is not None else None
        find = _static(device, "connection") if device is not None else None
        connection = find(camera) if callable(find) else None
    return connection if isinstance(connection, Connection) else None


def genapi_node_map(node_map):
    """(what pylon's persistence takes for ``node_map``, what must stay alive
    while pylon uses it)."""
    if node_map is None or isinstance(node_map, genicam.INodeMap):
        return node_map, None  # pylon's own, or NULL: pylon answers for it
    if isinstance(node_map, genicam.CNodeMapRef):
        return node_map._Ptr, node_map
    connection = _connection(node_map)
    if connection is None:
        return _WRONG, None
    return connection.node_map._Ptr, connection


class FeaturePersistence:
    """pylon.FeaturePersistence: saves and loads a node map's streamable
    features as a feature file (or string), for the simulated camera's node
    map (``camera.GetNodeMap()``) and for pylon's own."""

    def __init__(self, *args, **kwargs):
        raise AttributeError("No constructor defined")

    @staticmethod
    def Load(FileName, pNodeMap, validate=True):
        """Loads the features in the file ``FileName`` into the node map;
        with ``validate``, checks every value afterwards (RuntimeException)."""
        target, alive = genapi_node_map(pNodeMap)  # alive for the call
        return _pylon.FeaturePersistence.Load(FileName, target, validate)

    @staticmethod
    def Save(FileName, pNodeMap):
        """Saves the node map's streamable features to the file ``FileName``."""
        target, alive = genapi_node_map(pNodeMap)  # alive for the call
        return _pylon.FeaturePersistence.Save(FileName, target)

    @staticmethod
    def LoadFromString(Features, pNodeMap, validate=True):
        """Loads the features in the string ``Features`` into the node map."""
        target, alive = genapi_node_map(pNodeMap)  # alive for the call
        return _pylon.FeaturePersistence.LoadFromString(Features, target, validate)

    @staticmethod
    def SaveToString(pNodeMap):
        """The node map's streamable features as a feature file's text."""
        target, alive = genapi_node_map(pNodeMap)  # alive for the call
        return _pylon.FeaturePersistence.SaveToString(target)
