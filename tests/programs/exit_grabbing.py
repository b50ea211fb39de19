"""A program that ends while its camera still grabs: with pylon's grab loop
thread and a Python image event handler ("handler"), with the handler but
its own grab loop ("own loop"), or with the thread and no handler
("no handler"). pylon aborts at exit in the first case only."""
import sys
import time

from pypylon import pylon


class Counter(pylon.ImageEventHandler):
    def OnImageGrabbed(self, camera, result):
        pass


case = sys.argv[1]
camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
if case != "no handler":
    camera.RegisterImageEventHandler(Counter(), pylon.RegistrationMode_Append, pylon.Cleanup_Delete)
loop = pylon.GrabLoop_ProvidedByUser if case == "own loop" else pylon.GrabLoop_ProvidedByInstantCamera
camera.StartGrabbing(pylon.GrabStrategy_OneByOne, loop)
time.sleep(0.3)
print("ending while grabbing:", camera.IsGrabbing(), flush=True)
