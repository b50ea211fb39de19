"""Start-up of a Python process with ``TAVROCAM_SIM`` set (the
``tavrocam_sim.pth`` file's one call; unset or empty, it is never imported).

It installs tavrocam_sim's import hook for ``pypylon.pylon``. When the
simulator cannot be imported, a program that asked for simulated cameras must
not run on the real SDK, which would drive a real camera if one is attached:
``import pypylon.pylon`` then raises an ImportError naming the cause, while
a process that never imports pypylon (pip, any tool) runs on untouched.
"""

import os
import sys

ENVIRONMENT = "TAVROCAM_SIM"
TARGET = "pypylon.pylon"


class _Refuse:
    """A meta-path finder that refuses ``pypylon.pylon`` with ``message``."""

    def __init__(self, message):
        self.message = message

    def find_spec(self, name, path, target=None):
        if name == TARGET:
            raise ImportError(self.message, name=TARGET)
        return None

    def __repr__(self):
        return f"<tavrocam_sim refusal of {TARGET}>"


def start():
    text = os.environ.get(ENVIRONMENT)
    if not text:
        return
    try:
        from tavrocam_sim import runner

        runner.install_from_environment()
    except Exception as exc:  # noqa: BLE001 (every cause is named by the refusal)
        cause = " ".join(str(exc).split()) or "(no message)"
        sys.meta_path.insert(0, _Refuse(
            f"{ENVIRONMENT}={text} asks for simulated cameras, but the simulator "
            f"(tavrocam_sim) failed to import: {type(exc).__name__}: {cause}; "
            f"pypylon's own SDK is not used in its place (unset {ENVIRONMENT} to use it)"))
