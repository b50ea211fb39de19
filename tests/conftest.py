import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import standin  # noqa: E402


@pytest.fixture(scope="session")
def tavrocam():
    import Tavrocam

    return Tavrocam


@pytest.fixture
def T(tavrocam):
    """The outer class."""
    return tavrocam.CLASS_Tavrocam


@pytest.fixture
def sdk(tavrocam, monkeypatch):
    """A stand-in SDK with one camera, bound as the module's ``pylon``."""
    world = standin.SDK(cameras=1)
    monkeypatch.setattr(tavrocam, "pylon", world.pylon)
    return world


@pytest.fixture
def cam():
    """An open stand-in camera, for feature groups built directly on it."""
    return standin.Camera()
