"""The simulated acA2040-55uc's sensor, a Sony IMX265, as the EMVA 1288 linear
camera model describes it.

Light reaches a pixel as an irradiance E (W/m²) over the exposure time t; the
pixel collects ``E * area * t * wavelength / (h c)`` photons, of which the
quantum efficiency of the pixel's colour filter turns a fraction into
electrons (Poisson distributed); dark current adds electrons, the well clips
at the saturation capacity, read noise (``dark_noise``) adds to them and the
system gain K turns electrons into 12-bit digital numbers at 0 dB. DSNU and
PRNU are the fixed patterns across pixels of the dark signal and of the
response.

``MODEL`` is the table of every value with its source and how sure it is. No
EMVA 1288 figure measured on an IMX265 camera is known: the figures come from
sibling Pregius sensors with the same 3.45 µm pixel (IMX250, IMX255), from
the camera maker's rule for the QE of colour channels, and from assumptions,
and the table says which. The colour filters are modelled as Gaussian bands
(assumed), so light of any wavelength reaches every filter colour with its
own efficiency; no cross-talk between neighbouring pixels is modelled.
"""

from __future__ import annotations

import math
from typing import NamedTuple

PLANCK = 6.62607015e-34  # J s
LIGHT_SPEED = 299_792_458.0  # m/s
COLOURS = ("red", "green", "blue")
FULL_SCALE = 4095  # 12-bit ADC


class Fact(NamedTuple):
    """One value of the sensor model: what it is, its unit, how sure, and why."""
    name: str
    value: float
    unit: str
    confidence: str  # "confirmed", "likely" or "assumed"
    source: str


# Pixel pitch 3.45 µm (confirmed: the IMX265's data sheet and the camera's).
PIXEL_PITCH_UM = 3.45
SATURATION_CAPACITY = 10_700.0
DARK_NOISE = 2.9
SYSTEM_GAIN = FULL_SCALE / SATURATION_CAPACITY
DARK_CURRENT_25C = 3.0
DARK_CURRENT_DOUBLING = 7.0
DSNU = 1.0
PRNU = 0.005
# The colour filters (with the IR-cut filter's transmittance), each a Gaussian
# band: (peak QE, centre nm, width nm). Green at 545 nm gives about 65 %.
FILTERS = {
    "red": (0.55, 605.0, 40.0),
    "green": (0.66, 540.0, 45.0),
    "blue": (0.50, 460.0, 35.0),
}
# The effective wavelength of each filter colour for its photon count: the
# wavelength a picture's linear red, green and blue are taken at.
WAVELENGTHS = (610.0, 545.0, 465.0)


def quantum_efficiency(wavelength: float, colour: str) -> float:
    """The fraction of the photons of ``wavelength`` (nm) that become
    electrons under a ``colour`` ("red", "green" or "blue") filter."""
    try:
        peak, centre, width = FILTERS[colour]
    except (KeyError, TypeError):
        raise ValueError(f"colour must be 'red', 'green' or 'blue', not {colour!r}") from None
    if isinstance(wavelength, bool) or not isinstance(wavelength, (int, float)):
        raise TypeError(f"wavelength must be a number of nm, not {type(wavelength).__name__}")
    return peak * math.exp(-0.5 * ((wavelength - centre) / width) ** 2)


MODEL = (
    Fact("pixel_area", PIXEL_PITCH_UM ** 2, "µm²", "confirmed",
         "3.45 x 3.45 µm pixels of the Sony IMX265LQR-C (the camera maker's data)"),
    Fact("quantum_efficiency(545, 'green')", quantum_efficiency(545.0, "green"), "", "likely",
         "the maker's rule for colour cameras: a mono Pregius pixel's QE near 545 nm "
         "(about 70 %) times the IR-cut filter's transmittance (about 93 %)"),
    Fact("quantum_efficiency(λ, colour)", float("nan"), "", "assumed",
         "Gaussian filter bands: red peak 0.55 at 605 nm, width 40 nm; green 0.66 at "
         "540 nm, 45 nm; blue 0.50 at 460 nm, 35 nm; no IMX265 spectral curve was found"),
    Fact("system_gain", SYSTEM_GAIN, "DN/e⁻", "assumed",
         "the saturation capacity just fills the 12-bit range at 0 dB (4095 / 10,700)"),
    Fact("dark_noise", DARK_NOISE, "e⁻", "assumed",
         "saturation / 10^(DR/20) with the siblings' dynamic range of 71.2-71.3 dB "
         "(IMX250, IMX255, measured by another camera maker)"),
    Fact("saturation_capacity", SATURATION_CAPACITY, "e⁻", "assumed",
         "SNRmax² with the siblings' SNRmax of 40.3 dB (IMX250, IMX255)"),
    Fact("dark_current", DARK_CURRENT_25C, "e⁻/s at 25 °C", "assumed",
         "typical of Pregius sensors; not published for the IMX265"),
    Fact("dark_current_doubling", DARK_CURRENT_DOUBLING, "°C", "assumed",
         "the dark current doubles every 7 °C (typical of CMOS sensors)"),
    Fact("dsnu", DSNU, "e⁻", "assumed", "typical of Pregius sensors; not published"),
    Fact("prnu", PRNU, "", "assumed", "0.5 %, typical of Pregius sensors; not published"),
)


class Sensor:
    """The sensor of one simulated camera (read-only): the EMVA 1288 model's
    values, with the dark current at the temperature the camera had when the
    object was made (``sim.cameras[i].sensor`` makes one each time it is read).
    """

    __slots__ = ("_temperature",)
    _temperature: float

    def __init__(self, temperature: float = 25.0) -> None:
        object.__setattr__(self, "_temperature", float(temperature))

    def __setattr__(self, name, value):
        raise AttributeError(f"the sensor's {name!r} is read-only")

    def __repr__(self) -> str:
        return (f"Sensor(IMX265, K={self.system_gain:.4f} DN/e-, dark noise "
                f"{self.dark_noise} e-, saturation {self.saturation_capacity:.0f} e-, "
                f"at {self._temperature:g} C)")

    @property
    def pixel_area(self) -> float:
        """The area of a pixel in µm² (3.45 µm x 3.45 µm)."""
        return PIXEL_PITCH_UM ** 2

    @property
    def system_gain(self) -> float:
        """K: the digital numbers per electron at 12 bit and 0 dB (about 0.38)."""
        return SYSTEM_GAIN

    @property
    def dark_noise(self) -> float:
        """The temporal dark noise (read noise) in electrons (about 2.9)."""
        return DARK_NOISE

    @property
    def saturation_capacity(self) -> float:
        """The electrons at which a pixel saturates (about 10,700)."""
        return SATURATION_CAPACITY

    @property
    def temperature(self) -> float:
        """The device's temperature in °C the dark current is given at."""
        return self._temperature

    @property
    def dark_current(self) -> float:
        """The dark current in electrons a second at the device's temperature,
        doubling every 7 °C."""
        return dark_current(self._temperature)

    @property
    def dsnu(self) -> float:
        """The dark signal non-uniformity: the spread across pixels of the dark
        signal, in electrons."""
        return DSNU

    @property
    def prnu(self) -> float:
        """The photo response non-uniformity: the spread across pixels of the
        response, as a fraction of the signal."""
        return PRNU

    @staticmethod
    def quantum_efficiency(wavelength: float, colour: str) -> float:
        """The fraction of the photons of ``wavelength`` (nm) that become
        electrons under a ``colour`` ("red", "green" or "blue") filter."""
        return quantum_efficiency(wavelength, colour)


def dark_current(temperature: float) -> float:
    """The dark current in e⁻/s at ``temperature`` °C."""
    return DARK_CURRENT_25C * 2.0 ** ((temperature - 25.0) / DARK_CURRENT_DOUBLING)


def photons(irradiance: float, exposure_s: float, wavelength: float) -> float:
    """The photons reaching one pixel: irradiance (W/m²) x pixel area x exposure
    (s) x wavelength (nm) / (h c)."""
    area = PIXEL_PITCH_UM ** 2 * 1e-12
    return irradiance * area * exposure_s * wavelength * 1e-9 / (PLANCK * LIGHT_SPEED)


def electrons_per_unit(light, exposure_s: float) -> tuple:
    """The mean photo-electrons of a red, a green and a blue filter site that
    linear light 1.0 of ``light`` (a tavrocam_sim.scenes.Light) gives in
    ``exposure_s`` seconds: QE(λ_c, c) x area x exposure x λ_c / (h c) x white,
    for each colour c with the light's wavelength λ_c for it."""
    return tuple(quantum_efficiency(w, c) * photons(light.white, exposure_s, w)
                 for w, c in zip(light.wavelengths, COLOURS))


def irradiance_for(electrons: float, exposure_s: float, wavelength: float,
                   colour: str) -> float:
    """The irradiance (W/m²) at ``wavelength`` that gives a ``colour`` site
    ``electrons`` mean photo-electrons in ``exposure_s`` seconds."""
    return electrons / (quantum_efficiency(wavelength, colour)
                        * photons(1.0, exposure_s, wavelength))


__all__ = ["Sensor", "Fact", "MODEL", "COLOURS", "WAVELENGTHS", "electrons_per_unit",
           "quantum_efficiency", "dark_current", "photons", "irradiance_for"]
