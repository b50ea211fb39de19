"""pylon's image classes, taking the simulated camera's grab results too.

pylon's converter, image and image persistence are C++ classes that take
pylon's own grab results only. The classes here are pylon's, subclassed:
given a simulated grab result, each hands pylon a pylon image of pylon's own
over the result's buffer (``PylonImage.AttachMemoryView`` with the result's
pixel type, width, height and padding), and pylon does the work: the
conversion, the file, its errors. Everything else (pylon's own results and
images, and any object pylon cannot take) reaches pylon unchanged, so a
wrong object gets pylon's own TypeError; a simulated object never answers
SWIG's ``this``.
"""

from __future__ import annotations

import functools
import re

from . import datacontainer
from .grabresult import GrabResult
from .pypylon_sdk import overloads, pylon as _pylon

# pylon's text for an empty grab result handed to the converter (confirmed).
INVALID_RESULT = "Invalid CGrabResultPtr"
# pylon's texts for AttachGrabResultBufferWithUserHints (the emulator's).
HINTS = "PylonImage_AttachGrabResultBufferWithUserHints"
HINTS_COUNT = HINTS + " expected 6 arguments, got {}"
HINTS_TOO_BIG = ("The image size (in bytes) defined by the user hints doesn't fit into the "
                 "buffer of the given grabresult. Given size = {} bytes, possible size = {} "
                 "bytes : InvalidArgumentException thrown (file 'PylonImage.cpp', line 168)")
_BAD_ATTACH = overloads("PylonImage_AttachGrabResultBuffer", "Pylon::CPylonImage::",
                        "AttachGrabResultBuffer(Pylon::CGrabResultPtr const &)",
                        "AttachGrabResultBuffer(size_t,Pylon::CGrabResultPtr const &)")


def attach(target, result: GrabResult) -> None:
    """Attach pylon image ``target`` to the image in ``result``'s buffer
    (pypylon keeps a copy of memory handed to it from Python, and the
    reference that keeps it alive)."""
    _pylon.PylonImage.AttachMemoryView(target, result._view(), result.GetPixelType(),
                                       result.GetWidth(), result.GetHeight(),
                                       result.GetPaddingX())


def pylon_image(value):
    """What pylon takes for ``value``: a pylon image over a simulated grab
    result's image, else ``value`` itself."""
    if not isinstance(value, GrabResult):
        return value
    if not value.IsValid():
        raise ValueError(INVALID_RESULT)
    image = _pylon.PylonImage()
    attach(image, value)
    image._sim_result = GrabResult(value)  # the buffer stays while pylon reads it
    return image


def _mapped(args):
    return tuple(pylon_image(arg) for arg in args)


def _through(method, let_go=False, mapped=True):
    """pylon's ``method`` taking a simulated grab result wherever it takes an
    image (``mapped``); with ``let_go``, a PylonImage's method that first lets
    go of the simulated result it holds."""
    @functools.wraps(method)
    def through(*args, **kwargs):
        if let_go:
            args[0]._let_go()
        return method(*(_mapped(args) if mapped else args), **kwargs)
    return through


class PylonImage(_pylon.PylonImage):
    """pylon.PylonImage; ``AttachGrabResultBuffer`` also takes a simulated
    grab result, and holds a reference to it while attached (the result is
    then not unique, as with pylon)."""

    _sim_result = None

    def _let_go(self):
        held, self._sim_result = self._sim_result, None
        if held is not None:
            held.Release()

    def AttachGrabResultBuffer(self, *args):
        result = args[-1] if len(args) in (1, 2) else None
        if not isinstance(result, GrabResult):
            self._let_go()
            return super().AttachGrabResultBuffer(*args)
        if len(args) == 2:  # (component index, result): the one image component is 0
            index = args[0]
            if isinstance(index, bool) or not isinstance(index, int) or index < 0:
                raise TypeError(_BAD_ATTACH)
            if index != 0:
                raise _pylon.OutOfRangeException(datacontainer.NO_COMPONENT)
        self._let_go()
        if not result.IsValid():  # as pylon: an empty result leaves an empty image
            super().Release()
            return None
        attach(self, result)
        self._sim_result = GrabResult(result)
        return None

    def AttachGrabResultBufferWithUserHints(self, result, *hints):
        if not isinstance(result, GrabResult):
            self._let_go()
            return super().AttachGrabResultBufferWithUserHints(result, *hints)
        if len(hints) != 4:  # pixel type, width, height, padding: no more, no fewer
            raise TypeError(HINTS_COUNT.format(len(hints) + 2))
        self._let_go()
        if not result.IsValid():
            raise ValueError(INVALID_RESULT)
        try:
            _pylon.PylonImage.AttachMemoryView(self, result._view(), *hints)
        except (TypeError, OverflowError) as exc:  # an argument's type, as pylon words it
            text = str(exc).replace("PylonImage_AttachMemoryView", HINTS)
            raise type(exc)(text.replace("'unsigned int'", "'uint32_t'")) from None
        except _pylon.InvalidArgumentException as exc:
            sizes = re.search(r"bufferSizeBytes=(\d+), expectedBufferSize=(\d+)", str(exc))
            if sizes is None:
                raise
            raise _pylon.InvalidArgumentException(
                HINTS_TOO_BIG.format(sizes.group(2), sizes.group(1))) from None
        self._sim_result = GrabResult(result)

    def IsGrabResultBufferAttached(self):
        if self._sim_result is not None and self._sim_result.IsValid():
            return True
        return super().IsGrabResultBufferAttached()

    def IsUnique(self):
        if self._sim_result is not None:  # the result's other references share the buffer
            return self._sim_result.IsUnique()
        return super().IsUnique()

    def IsUserBufferAttached(self):
        if self._sim_result is not None:
            return False
        return super().IsUserBufferAttached()

    CopyImage = _through(_pylon.PylonImage.CopyImage, let_go=True)
    Release, Reset, AttachMemoryView, AttachBytesObject, Load = (
        _through(getattr(_pylon.PylonImage, name), let_go=True, mapped=False)
        for name in ("Release", "Reset", "AttachMemoryView", "AttachBytesObject", "Load"))

    def __repr__(self):
        return f"<PylonImage {self.GetWidth()} x {self.GetHeight()}>" if self.IsValid() \
            else "<PylonImage (empty)>"


class ImageFormatConverter(_pylon.ImageFormatConverter):
    """pylon.ImageFormatConverter; every method that takes an image also
    takes a simulated grab result (the OpenCV idiom:
    ``converter.Convert(result).GetArray()``)."""

    Convert, ImageHasDestinationFormat, GetBufferSizeForConversion, ConvertToArray = (
        _through(getattr(_pylon.ImageFormatConverter, name)) for name in (
            "Convert", "ImageHasDestinationFormat", "GetBufferSizeForConversion",
            "ConvertToArray"))


class ImagePersistence:
    """pylon.ImagePersistence: saves and loads images, a simulated grab
    result's too."""

    def __init__(self, *args, **kwargs):
        raise AttributeError("No constructor defined")

    Save = staticmethod(_through(_pylon.ImagePersistence.Save))
    CanSaveWithoutConversion = staticmethod(
        _through(_pylon.ImagePersistence.CanSaveWithoutConversion))
    Load = staticmethod(_pylon.ImagePersistence.Load)
    SaveArray = staticmethod(_pylon.ImagePersistence.SaveArray)
