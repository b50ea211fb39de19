"""The simulated acA2040-55uc's test images (TestImageSelector), as the camera
makes them: in image coordinates x, y, with the camera's frame counter n.

- Testimage1: fixed 8-bit gradient, (x + y) mod 256.
- Testimage2: moving 8-bit gradient, (x + y + n) mod 256.
- Testimage3: moving 12-bit gradient, (x + y + n) mod 4096.
- Testimage4: Testimage2 through the digital processing (the LUT).
- Testimage5: Testimage3 through the digital processing (the LUT).
- Testimage6: moving diagonal colour gradient: red (x + y + n) mod 256, green
  and blue the same a third and two thirds of the way on (assumed colours).

An 8-bit value fills a 12-bit format's top bits and a 12-bit value loses its
low four bits in an 8-bit format. The grey images give every channel the same
value (YCbCr: Cb = Cr = 128); a Bayer format shows Testimage6's channel of
each pixel's filter colour, Mono8 its luma. Exposure, gain, black level, the
balance ratios, the colour matrix, Gamma and DigitalShift change none of them;
the LUT changes Testimage4 and Testimage5 only.

Each image is an index per pixel into a table of output values (``table``),
mapped by the compiled core.
"""

from __future__ import annotations

from .facts import bayer_phase
from .pixels import family, luma8, ycbcr

NAMES = tuple(f"Testimage{n}" for n in range(1, 7))
MOVING = frozenset(NAMES[1:])
THROUGH_LUT = frozenset(("Testimage4", "Testimage5"))


def modulo(name):
    return 4096 if name in ("Testimage3", "Testimage5") else 256


def table(name, pixel_format, curve):
    """The output value of each index (a list; RGB/BGR: triples, YCbCr: Y | C << 8)."""
    kind = family(pixel_format)
    twelve = "12" in pixel_format
    if name == "Testimage6" and kind == "bayer":  # by filter colour: red, green, blue
        return [((d + 85 * channel) % 256) << (4 if twelve else 0)
                for channel in range(3) for d in range(256)]
    out = []
    for d in range(modulo(name)):
        if name == "Testimage6":
            rgb = (d, (d + 85) % 256, (d + 170) % 256)
            if kind in ("rgb", "bgr"):
                out.append(rgb if kind == "rgb" else rgb[::-1])
            elif kind == "ycbcr":
                out += (ycbcr(rgb, 0), ycbcr(rgb, 1))
            else:
                out.append(luma8(rgb))
            continue
        v12 = d << 4 if modulo(name) == 256 else d
        if name in THROUGH_LUT and curve is not None:
            v12 = curve[v12]
        value = v12 if twelve else v12 >> 4
        if kind in ("rgb", "bgr"):
            out.append((value,) * 3)
        elif kind == "ycbcr":
            out += (value | 128 << 8,) * 2
        else:
            out.append(value)
    return out


def table_bytes(name, pixel_format, curve):
    """``table`` as the core takes it: (bytes, bytes an entry)."""
    values = table(name, pixel_format, curve)
    kind = family(pixel_format)
    if kind in ("rgb", "bgr"):
        return bytes(v for rgb in values for v in rgb), 3
    if kind == "ycbcr" or "12" in pixel_format:
        return b"".join(v.to_bytes(2, "little") for v in values), 2
    return bytes(values), 1


def red_site(name, pixel_format):
    """The parity (x | y << 1) of the red filter in the image when the test
    image shows each Bayer filter's colour, else -1: the Bayer phase."""
    phase = bayer_phase(pixel_format)
    return -1 if name != "Testimage6" or phase is None else phase
