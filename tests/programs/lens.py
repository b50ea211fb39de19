"""Code under test that imports pylon and caches its factory at import time."""
from pypylon import pylon

FACTORY = pylon.TlFactory.GetInstance()


def cameras():
    return len(FACTORY.EnumerateDevices())
