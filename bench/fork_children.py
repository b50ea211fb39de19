"""Children forked while another thread uses the camera's nodes: how many hang.

    .venv/bin/python bench/fork_children.py [children]

On the simulated acA2040-55uc (``TAVROCAM_SIM=1``) and on pylon's emulated
camera (``PYLON_CAMEMU=1``), each in a fresh interpreter: a thread writes and
reads nodes without a pause while the main thread forks ``children`` children
(30) one after another; each child reads and writes a node and exits. A child
not done within 5 s hangs (a lock another thread held at the fork) and is
killed. pylon's own locks are pylon's: the emulator's count is the bar.
"""

import os
import subprocess
import sys

CHILD = r'''
import os, signal, sys, threading, time
from pypylon import pylon
camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
camera.Open()
running = True

def busy():
    value = 0
    while running:
        value = 1 - value
        camera.Gain.Value = float(value)
        camera.Width.Value = camera.Width.Max - 16 * value

thread = threading.Thread(target=busy, daemon=True)
thread.start()
hung = 0
for _ in range(int(sys.argv[1])):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        camera.Gain.Value = 2.0
        os._exit(0 if camera.Width.Value > 0 else 1)
    deadline = time.monotonic() + 5
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            hung += 1
            break
        time.sleep(0.01)
running = False
print(hung)
'''


def main():
    children = sys.argv[1] if len(sys.argv) > 1 else "30"
    for name, variable in (("simulated", "TAVROCAM_SIM"), ("emulated", "PYLON_CAMEMU")):
        env = {k: v for k, v in os.environ.items() if k not in ("TAVROCAM_SIM", "PYLON_CAMEMU")}
        env[variable] = "1"
        done = subprocess.run([sys.executable, "-W", "ignore", "-c", CHILD, children], env=env,
                              capture_output=True, text=True, timeout=600)
        hung = done.stdout.strip().splitlines()[-1] if done.stdout.strip() else done.stderr
        print(f"{name:9} camera: {hung} of {children} children hung")


if __name__ == "__main__":
    main()
