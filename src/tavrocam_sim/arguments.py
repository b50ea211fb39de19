"""The grab calls' arguments as pypylon's bindings check them, and pylon's texts.

pypylon's SWIG bindings take positional integers only, within their C types'
bounds; anything else is a TypeError naming the C++ prototypes. The texts are
pylon's, as its emulated camera shows them (pypylon 26.10), but where marked.
"""

from __future__ import annotations

from .pypylon_sdk import pylon as _pylon

UINT32 = 0xFFFFFFFF
_UINT64 = 0xFFFFFFFFFFFFFFFF

# Texts pylon uses, as the emulator shows them (confirmed).
_IN = "(file 'InstantCameraImpl.h', line {})"
ALREADY = "Grabbing has already been started. : RuntimeException thrown " + _IN.format(816)
NOT_STARTED = "Grabbing has not been started. : RuntimeException thrown " + _IN.format(1791)
ZERO_COUNT = ("Maximum count of images to grab cannot be 0. : OutOfRangeException thrown "
              + _IN.format(828))
GRAB_ONE_TIMEOUT = "Grab timed out. : TimeoutException thrown " + _IN.format(1447)
RETRIEVE_TIMEOUT = (
    "Grab timed out. Possible reasons are: The image transport from the camera device is not "
    "working properly, e.g., all GigE network packets for streaming are dropped; The camera uses "
    "explicit triggering (see TriggerSelector for more information) and has not been triggered; "
    "Single frame acquisition mode is used and one frame has already been acquired; The "
    "acquisition has not been started or has been stopped. : TimeoutException thrown "
    + _IN.format(1113))
TRIGGER_READY_TIMEOUT = ("Waiting for frame trigger ready timed out. : TimeoutException thrown "
                         + _IN.format(1891))
WAITING = ("There is already a thread waiting for a result. : RuntimeException thrown "
           + _IN.format(1145))
# Assumed (pylon's emulated camera cannot be unplugged): pylon's device removal
# documentation says only that every access fails with an exception.
REMOVED = ("The device has been removed from the PC. : RuntimeException thrown "
           + _IN.format(1102))


def _prototypes(method, *prototypes):
    lines = "".join(f"    Pylon::CInstantCamera::{p}\n" for p in prototypes)
    return (f"Wrong number or type of arguments for overloaded function 'InstantCamera_{method}'.\n"
            f"  Possible C/C++ prototypes are:\n{lines}")


_SIGNATURES = {
    "GrabOne": ("GrabOne(unsigned int,Pylon::CGrabResultPtr &,Pylon::ETimeoutHandling)",
                "GrabOne(unsigned int,Pylon::CGrabResultPtr &)"),
    "RetrieveResult": (
        "RetrieveResult(unsigned int,Pylon::CGrabResultPtr &,Pylon::ETimeoutHandling)",
        "RetrieveResult(unsigned int,Pylon::CGrabResultPtr &)"),
    "StartGrabbing": ("StartGrabbing(Pylon::EGrabStrategy,Pylon::EGrabLoop)",
                      "StartGrabbing(Pylon::EGrabStrategy)", "StartGrabbing()"),
    "StartGrabbingMax": ("StartGrabbing(size_t,Pylon::EGrabStrategy,Pylon::EGrabLoop)",
                         "StartGrabbing(size_t,Pylon::EGrabStrategy)", "StartGrabbing(size_t)"),
    "WaitForFrameTriggerReady": (
        "WaitForFrameTriggerReady(unsigned int,Pylon::ETimeoutHandling)",
        "WaitForFrameTriggerReady(unsigned int)"),
}


def arguments(method, args, kwargs, kinds, least):
    """Check positional arguments as pypylon's bindings do: ``kinds`` gives the
    upper bound of each ("uint" 32-bit unsigned, "size" 64-bit unsigned,
    "enum" a C int); too few, too many or a wrong one is a TypeError."""
    if kwargs:
        raise TypeError(f"InstantCamera.{method}() got an unexpected keyword argument "
                        f"'{next(iter(kwargs))}'")
    ok = least <= len(args) <= len(kinds)
    for value, kind in zip(args, kinds):
        if not isinstance(value, int):
            ok = False
        elif kind == "enum":
            ok = ok and -2 ** 31 <= value < 2 ** 31
        else:
            ok = ok and 0 <= value <= (UINT32 if kind == "uint" else _UINT64)
    if not ok:
        text = _prototypes(method, *_SIGNATURES[method])
        if len(args) > len(kinds):
            text = (f"InstantCamera_{method} expected at most {len(kinds) + 1} arguments, "
                    f"got {len(args) + 1}\nAdditional information:\n{text}")
        raise TypeError(text)
    return [int(value) for value in args]


def with_defaults(values):
    """(strategy, grab loop), pylon's defaults for those not given."""
    return (values + [_pylon.GrabStrategy_OneByOne, _pylon.GrabLoop_ProvidedByUser][len(values):])
