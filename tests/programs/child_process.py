"""A child process opens the camera this process holds open, then after Close."""
import json
import subprocess
import sys

from pypylon import pylon

CHILD = """
from pypylon import pylon
camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
try:
    camera.Open()
    print("opened")
except pylon.RuntimeException as exc:
    print(str(exc).split("Error: ")[-1].split(" : ")[0])
"""


def child():
    return subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                          check=True).stdout.strip()


camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
camera.Open()
held = child()
camera.Close()
print("@@program@@ " + json.dumps({"held": held, "closed": child()}))
