"""pylon's data container and data component of a grab result of the simulated
camera (one component for this camera: the image), and the zero-copy numpy
view that both and the grab result give."""

from __future__ import annotations

import contextlib
import sys
import warnings

from .pypylon_sdk import pylon as _pylon

from . import image

NO_NUMPY = "please install numpy to use this method"
KEPT_ARRAY = "Please remove any references to the array before leaving context manager scope!!!"
NO_COMPONENT = ("index out of range. : OutOfRangeException thrown "
                "(file 'PylonDataContainer.cpp', line 515)")
DEPRECATED_COMPONENT = "GetDataComponent is deprecated. Use GetDataComponentByIndex instead."


@contextlib.contextmanager
def zero_copy(image_like, raw):
    if image.numpy is None:
        raise NotImplementedError(NO_NUMPY)
    if _pylon.IsPacked(image_like.GetPixelType()):
        yield image_like.GetArray()
        return
    view = image_like._view()
    if not raw:
        shape, _, fmt = image_like.GetImageFormat()
        view = view.cast(fmt, shape)
    array = image.numpy.asarray(view)
    held = sys.getrefcount(array)
    yield array
    if sys.getrefcount(array) > held + 1:
        raise RuntimeError(KEPT_ARRAY)
    view.release()


class _OfResult:
    """Holds a reference of its own to a grab result, and lets it go."""

    def __init__(self, result):
        self._result = type(result)(result)

    def Release(self):
        self._result.Release()


class DataContainer(_OfResult):
    """pylon's PylonDataContainer of a grab result of the simulated camera:
    one component, the image."""

    def GetDataComponentCount(self):
        return 1 if self._result.IsValid() else 0

    DataComponentCount = property(GetDataComponentCount)

    def GetDataComponentByIndex(self, index):
        if isinstance(index, bool) or not isinstance(index, int) or index < 0:
            raise (OverflowError if isinstance(index, int) and not isinstance(index, bool)
                   else TypeError)("in method 'PylonDataContainer_GetDataComponentByIndex', "
                                   "argument 2 of type 'size_t'")
        if index >= self.GetDataComponentCount():
            raise _pylon.OutOfRangeException(NO_COMPONENT)
        return DataComponent(self._result)

    def GetDataComponent(self, index):
        warnings.warn(DEPRECATED_COMPONENT, DeprecationWarning, stacklevel=2)
        return self.GetDataComponentByIndex(index)

    def GetFirstImageDataComponent(self):
        return self.GetDataComponentByIndex(0)

    def GetDataComponentByType(self, component_type):
        """The components of ``component_type``, a list as pypylon gives it."""
        return [DataComponent(self._result)] if self.GetDataComponentCount() and \
            component_type == _pylon.ComponentType_Intensity else []

    def __repr__(self):
        return f"<PylonDataContainer of the simulated camera: " \
               f"{self.GetDataComponentCount()} component(s)>"


class DataComponent(_OfResult):
    """pylon's PylonDataComponent: the image of a simulated grab result.
    Released, it is invalid and its sizes read 0, as pylon's."""

    def IsValid(self):
        return self._result.IsValid()

    def GetComponentType(self):
        return _pylon.ComponentType_Intensity if self.IsValid() else \
            _pylon.ComponentType_Undefined

    def GetComponentIndex(self):
        return 0

    def GetSourceId(self):
        return 0

    def GetTimeStamp(self):
        return 0

    def GetMemoryView(self):
        return memoryview(self.GetData())

    def _view(self):
        return self._result._view()

    def GetImageFormat(self, pt=None):
        return self._result.GetImageFormat(pt)

    def GetArray(self, raw=False):
        return self._result.GetArray(raw)

    def GetArrayZeroCopy(self, raw=False):
        return zero_copy(self, raw)

    Array = property(GetArray)

    def __repr__(self):
        return f"<PylonDataComponent of the simulated camera: {self.GetWidth()} x " \
               f"{self.GetHeight()}>"


def _reads(method, empty):
    """A component's Get<X>: the result's ``method``, ``empty()`` once released."""
    def get(self):
        return getattr(self._result, method)() if self._result.IsValid() else empty()
    return get


# The component's getters that read its result's image: (the result's method,
# what a released component reads).
for _name, (_method, _empty) in {
        "Width": ("GetWidth", int), "Height": ("GetHeight", int), "OffsetX": ("GetOffsetX", int),
        "OffsetY": ("GetOffsetY", int), "PaddingX": ("GetPaddingX", int),
        "PaddingY": ("GetPaddingY", int), "DataSize": ("GetImageSize", int),
        "PixelType": ("GetPixelType", lambda: _pylon.PixelType_Undefined),
        "Stride": ("GetStride", lambda: [False, 0]), "Data": ("GetImageBuffer", bytearray)}.items():
    setattr(DataComponent, "Get" + _name, _reads(_method, _empty))
for _name in ("ComponentType", "ComponentIndex", "SourceId", "TimeStamp", "Width", "Height",
              "OffsetX", "OffsetY", "PaddingX", "PaddingY", "PixelType", "DataSize", "Data",
              "ImageFormat"):
    setattr(DataComponent, _name, property(getattr(DataComponent, "Get" + _name)))
