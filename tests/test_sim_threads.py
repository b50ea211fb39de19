"""Grabbing on the simulated acA2040-55uc from several threads, pylon's grab
engine (strategies, the grab loop thread, handlers, camera events) and the
camera object's own parameters. Timing checks leave wide margins: the machine
may be loaded. Where pylon's emulated camera can run the same scenario, a
child interpreter runs it there too, so that pylon's behaviour is the
reference."""

import gc
import json
import math
import os
import subprocess
import sys
import threading
import time
import weakref

import pytest

tavrocam_sim = pytest.importorskip("tavrocam_sim")
from pypylon import pylon  # noqa: E402

FOREVER = pylon.waitForever
THROW, RETURN = pylon.TimeoutHandling_ThrowException, pylon.TimeoutHandling_Return


def make(cameras=1):
    sim = tavrocam_sim.Simulation(cameras=cameras)
    tl = sim.pylon.TlFactory.GetInstance()
    cams = [sim.pylon.InstantCamera(tl.CreateDevice(info)) for info in tl.EnumerateDevices()]
    for cam in cams:
        cam.Open()
        small(cam)
    return sim, cams


def small(cam):
    cam.Width.Value, cam.Height.Value = 64, 48


def software_trigger(cam):
    cam.TriggerSelector.Value = "FrameStart"
    cam.TriggerMode.Value = "On"
    cam.TriggerSource.Value = "Software"


@pytest.fixture
def sim():
    simulation, (cam,) = make()
    simulation.cam = cam
    yield simulation
    cam.Close()


# A child's script starts with ``pylon`` for the backend its first argument
# names and ``PYLON``, pypylon's own (its constants and handler classes).
PRELUDE = r'''
import json, os, sys, threading, time
from pypylon import genicam, pylon
PYLON = pylon
if sys.argv[1] == "simulator":
    import tavrocam_sim
    pylon = tavrocam_sim.Simulation(cameras=int(os.environ["PYLON_CAMEMU"])).pylon
'''


def child(script, *args, cameras="1"):
    """What ``script`` prints last (JSON), run in a fresh interpreter with
    pylon's emulator offering ``cameras`` cameras; the script's first argument
    says whether it runs on the "emulator" or the "simulator"."""
    proc = subprocess.run([sys.executable, "-c", PRELUDE + script, *args],
                          env=dict(os.environ, PYLON_CAMEMU=cameras), capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def in_thread(call):
    """Run ``call`` in a thread; the box holds its outcome and how long it took."""
    box = {}

    def run():
        start = time.monotonic()
        try:
            box["value"] = call()
        except Exception as exc:  # the outcome under test
            box["raised"] = exc
        box["seconds"] = time.monotonic() - start
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    time.sleep(0.3)  # let it wait
    return thread, box


# ------------------------------------------------------------------ wake-ups
WAKERS = {  # each call and whether the waiter then has a frame
    "StopGrabbing": (lambda sim: sim.cam.StopGrabbing(), False),
    "Close": (lambda sim: sim.cam.Close(), False),
    "Attach": (lambda sim: sim.cam.Attach(sim.pylon.TlFactory.GetInstance().CreateDevice(
        sim.pylon.TlFactory.GetInstance().EnumerateDevices()[0])), False),
    "ExecuteSoftwareTrigger": (lambda sim: sim.cam.ExecuteSoftwareTrigger(), True),
}


@pytest.mark.parametrize("handling", [THROW, RETURN], ids=["throw", "return"])
@pytest.mark.parametrize("waker", list(WAKERS))
def test_a_call_from_another_thread_wakes_the_one_waiter(sim, waker, handling):
    software_trigger(sim.cam)
    sim.cam.StartGrabbing()
    thread, box = in_thread(lambda: sim.cam.RetrieveResult(FOREVER, handling))
    deadline = time.monotonic() + 5
    with pytest.raises(pylon.RuntimeException,
                       match=r"^There is already a thread waiting for a result\. "):
        while time.monotonic() < deadline:  # a loaded machine may start the thread late
            sim.cam.RetrieveResult(100, RETURN)
    wake, frame = WAKERS[waker]
    start = time.monotonic()
    wake(sim)
    thread.join(5)
    assert not thread.is_alive() and time.monotonic() - start < 2
    assert "raised" not in box and box["value"].IsValid() is frame
    assert sim.cam.IsGrabbing() is frame and (not frame or box["value"].ImageNumber == 1)


def test_removal_fails_the_waiter_and_every_later_retrieve(sim):
    seen = []

    class Watch(pylon.ConfigurationEventHandler):
        def OnCameraDeviceRemoved(self, camera):
            seen.append(camera)
    sim.cam.RegisterConfiguration(Watch(), pylon.RegistrationMode_Append, pylon.Cleanup_Delete)
    software_trigger(sim.cam)
    sim.cam.StartGrabbing()
    thread, box = in_thread(lambda: sim.cam.RetrieveResult(FOREVER, RETURN))
    sim.cameras[0].remove()
    thread.join(5)
    assert isinstance(box.get("raised"), pylon.RuntimeException)
    assert "removed" in str(box["raised"])
    assert sim.cam.IsCameraDeviceRemoved() and sim.cam.IsGrabbing() and seen == [sim.cam]
    failures = 0
    while sim.cam.IsGrabbing() and failures < 3:  # the usual loop sees a failure, not an end
        with pytest.raises(pylon.RuntimeException, match="removed"):
            sim.cam.RetrieveResult(1000, THROW)
        failures += 1
    assert failures == 3
    sim.cam.StopGrabbing()
    with pytest.raises(pylon.RuntimeException, match="removed"):
        sim.cam.RetrieveResult(10, RETURN)


def test_no_frame_after_a_stop(sim):
    sim.cam.StartGrabbing()
    sim.cam.RetrieveResult(1000).Release()
    sim.cam.StopGrabbing()
    frames = sim.cameras[0].frames
    time.sleep(0.2)
    assert sim.cam.ExposureTime.Value > 0  # a register read runs no stopped clock
    assert sim.cameras[0].frames == frames
    assert not sim.cam.RetrieveResult(50, THROW).IsValid()


# ------------------------------------------------------------------ queueing
QUEUED = r'''
cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
cam.Open()
cam.Width.Value, cam.Height.Value = 64, 48
cam.StartGrabbing(getattr(PYLON, "GrabStrategy_" + sys.argv[2]))
time.sleep(1.0)
ready = cam.NumReadyBuffers.Value
got, held = [], []  # held: no buffer goes back, so no newer frame joins the queue
for _ in range(ready):  # a frame made after the count is not the queue's
    result = cam.RetrieveResult(0, PYLON.TimeoutHandling_Return)
    if not result:
        break
    held.append(result)
    got.append([result.BlockID, result.NumberOfSkippedImages, result.ImageNumber])
print(json.dumps([ready, got]))
'''


@pytest.mark.parametrize("strategy", ["OneByOne", "LatestImageOnly"])
@pytest.mark.parametrize("backend", ["emulator", "simulator"])
def test_frames_queue_from_start_grabbing_on(backend, strategy):
    """One second after StartGrabbing, with nobody retrieving: one by one holds
    the MaxNumBuffer oldest frames, LatestImageOnly the newest, counting the
    ones it replaced."""
    ready, got = child(QUEUED, backend, strategy)
    if strategy == "OneByOne":
        assert ready == 10 and got == [[block, 0, block + 1] for block in range(10)]
    else:
        assert ready == 1 and len(got) == 1
        block, skipped, number = got[0]
        assert block > 20 and skipped == block and number == 1


def test_output_queue_size_follows_the_strategy_while_grabbing(sim):
    cam = sim.cam
    cam.OutputQueueSize.Value = 3
    cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
    assert cam.OutputQueueSize.Value == cam.MaxNumBuffer.Value
    with pytest.raises(pylon.AccessException, match="not writable"):
        cam.OutputQueueSize.Value = 2
    cam.StopGrabbing()
    cam.AcquisitionFrameRateEnable.Value = True  # 10 fps: no new frame among the three retrieves
    cam.AcquisitionFrameRate.Value = 10.0
    cam.StartGrabbing(pylon.GrabStrategy_LatestImages)
    cam.OutputQueueSize.Value = 2
    time.sleep(0.5)
    assert cam.NumReadyBuffers.Value == 2
    got = [cam.RetrieveResult(0, RETURN) for _ in range(3)]
    assert [bool(r) for r in got] == [True, True, False]
    assert got[1].BlockID == got[0].BlockID + 1 and got[0].NumberOfSkippedImages > 0


def test_the_wait_object_says_when_a_result_is_ready(sim):
    wait = sim.cam.GetGrabResultWaitObject()
    assert wait.Wait(10) is False  # not grabbing
    software_trigger(sim.cam)
    sim.cam.StartGrabbing()
    assert wait.Wait(50) is False
    sim.cam.ExecuteSoftwareTrigger()
    assert wait.Wait(2000) is True and sim.cam.RetrieveResult(0, RETURN).IsValid()
    assert wait.Wait(0) is False


def test_blockid_counts_from_zero_per_session(sim):
    for _ in range(2):
        sim.cam.StartGrabbing()
        assert [sim.cam.RetrieveResult(1000).BlockID for _ in range(3)] == [0, 1, 2]
        sim.cam.StopGrabbing()


# ------------------------------------------------------------------ cameras in threads
def test_cameras_in_threads_get_their_own_frames():
    sim, cams = make(cameras=3)
    for index, cam in enumerate(cams):
        cam.TestImageSelector.Value = "Testimage2"  # a moving ramp: frames differ
        cam.PixelFormat.Value = "Mono8"
        cam.Width.Value = 64 + 16 * index
    outcomes = {}

    def grab(index, cam):
        seen = []
        try:
            cam.StartGrabbing()
            for _ in range(30):
                with cam.RetrieveResult(2000, THROW) as result:
                    seen.append((result.BlockID, result.ImageNumber, result.Width,
                                 bytes(result.GetBuffer())))
            cam.StopGrabbing()
        except Exception as exc:  # the outcome under test
            seen.append(exc)
        outcomes[index] = seen
    threads = [threading.Thread(target=grab, args=item) for item in enumerate(cams)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    for index, seen in outcomes.items():
        assert not any(isinstance(item, Exception) for item in seen), seen[-1]
        width = 64 + 16 * index
        assert [block for block, *_ in seen] == list(range(30))
        assert [number for _, number, *_ in seen] == list(range(1, 31))
        assert {(w, len(data)) for _, _, w, data in seen} == {(width, width * 48)}
        # Test image 2 moves one pixel a frame: each frame is its camera's next one.
        for (*_, data), (*_, later) in zip(seen, seen[1:]):
            assert later[:width - 1] == data[1:width]


def test_two_waiters_never_get_one_frame_twice(sim):
    sim.cam.StartGrabbing()
    got, errors = [], []

    def take():
        for _ in range(40):
            try:
                result = sim.cam.RetrieveResult(1000, RETURN)
            except pylon.RuntimeException as exc:
                errors.append(str(exc))
                time.sleep(0.001)
                continue
            if result:
                got.append(result.ID)
    threads = [threading.Thread(target=take) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert len(got) == len(set(got)) > 0
    assert all(text.startswith("There is already a thread waiting") for text in errors)


# ------------------------------------------------------------------ life of the camera object
@pytest.mark.parametrize("loop", [pylon.GrabLoop_ProvidedByUser,
                                  pylon.GrabLoop_ProvidedByInstantCamera], ids=["user", "thread"])
def test_a_dropped_grabbing_camera_frees_its_device(loop):
    sim, (cam,) = make()
    cam.StartGrabbing(pylon.GrabStrategy_OneByOne, loop)
    time.sleep(0.1)
    gone = weakref.ref(cam)
    del cam
    deadline = time.monotonic() + 5  # the grab loop thread lets go within its time slice
    while gone() is not None and time.monotonic() < deadline:
        gc.collect()
        time.sleep(0.02)
    assert gone() is None
    assert not sim.cameras[0].acquiring
    deadline = time.monotonic() + 5
    while any(thread.name.startswith("GrabLoopThread") for thread in threading.enumerate()) \
            and time.monotonic() < deadline:
        time.sleep(0.02)
    assert not any(thread.name.startswith("GrabLoopThread") for thread in threading.enumerate())
    tl = sim.pylon.TlFactory.GetInstance()
    other = sim.pylon.InstantCamera(tl.CreateFirstDevice())
    other.Open()  # the device is free again
    assert other.IsOpen()
    other.Close()


def test_attach_stops_the_old_grab():
    sim, cams = make(cameras=2)
    first, second = cams
    second.Close()
    first.StartGrabbing()
    tl = sim.pylon.TlFactory.GetInstance()
    first.Attach(tl.CreateDevice(tl.EnumerateDevices()[1]))
    assert not first.IsGrabbing() and not sim.cameras[0].acquiring
    assert first.GetDeviceInfo().GetSerialNumber() == sim.cameras[1].serial
    again = sim.pylon.InstantCamera(tl.CreateDevice(tl.EnumerateDevices()[0]))
    again.Open()
    assert again.IsOpen()


@pytest.mark.parametrize("leave", ["DetachDevice", "DestroyDevice", "Attach", "drop"])
def test_a_camera_object_hears_the_removal_of_its_own_device_only(leave):
    sim = tavrocam_sim.Simulation(cameras=2)
    tl = sim.pylon.TlFactory.GetInstance()
    first, other = tl.EnumerateDevices()
    heard = []

    class Watch(pylon.ConfigurationEventHandler):
        def OnCameraDeviceRemoved(self, camera):
            heard.append(camera)
    cam = sim.pylon.InstantCamera()
    cam.RegisterConfiguration(Watch(), pylon.RegistrationMode_Append, pylon.Cleanup_Delete)
    for _ in range(4):
        cam.Attach(tl.CreateDevice(first))
        if leave == "drop":
            sim.pylon.InstantCamera(tl.CreateDevice(first))
        elif leave == "Attach":
            cam.Attach(tl.CreateDevice(other))
        else:
            getattr(cam, leave)()
    gc.collect()
    assert len(sim.cameras[0]._listeners["removal"]) == (leave == "drop")
    sim.cameras[0].remove()
    assert heard == ([cam] if leave == "drop" else [])


def test_an_interrupted_grab_one_leaves_the_camera_not_grabbing(sim):
    class Interrupt(pylon.ConfigurationEventHandler):
        def OnGrabStarted(self, camera):
            raise KeyboardInterrupt
    handler = Interrupt()
    sim.cam.RegisterConfiguration(handler, pylon.RegistrationMode_Append, pylon.Cleanup_None)
    with pytest.raises(KeyboardInterrupt):
        sim.cam.GrabOne(1000)
    assert not sim.cam.IsGrabbing()
    sim.cam.DeregisterConfiguration(handler)
    assert sim.cam.GrabOne(1000).GrabSucceeded()


def test_a_grab_one_failing_inside_leaves_the_camera_not_grabbing(sim):
    software_trigger(sim.cam)
    timer = threading.Timer(0.3, sim.cameras[0].remove)
    timer.start()
    with pytest.raises(pylon.RuntimeException, match="removed"):
        sim.cam.GrabOne(5000)
    timer.join()
    assert not sim.cam.IsGrabbing()


def test_a_failed_grab_is_a_result_with_an_error(sim):
    sim.cameras[0].fail("Grab", pylon.RuntimeException("Payload data has been discarded."),
                        times=1)
    sim.cam.StartGrabbing()
    first, second = (sim.cam.RetrieveResult(1000) for _ in range(2))
    assert (first.GrabSucceeded(), first.ErrorDescription) == (False,
                                                              "Payload data has been discarded.")
    assert first.ErrorCode != 0 and second.GrabSucceeded() and second.ErrorCode == 0


# ------------------------------------------------------------------ bad input
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("node", ["ExposureTime", "Gain", "BlackLevel", "TriggerDelay",
                                  "AutoTargetBrightness"])
def test_non_finite_floats_are_out_of_range(sim, node, value):
    before = getattr(sim.cam, node).Value
    with pytest.raises(pylon.OutOfRangeException, match=f"in node '{node}'|{node}"):
        getattr(sim.cam, node).Value = value
    assert getattr(sim.cam, node).Value == before


@pytest.mark.parametrize("value,error", [(math.nan, ValueError), (math.inf, ValueError),
                                         (-274.0, ValueError), ("hot", TypeError),
                                         pytest.param(10**400, ValueError, id="10**400"),
                                         pytest.param(-10**400, ValueError, id="-10**400")])
def test_temperature_refuses_what_no_camera_reaches(sim, value, error):
    with pytest.raises(error, match="temperature"):
        sim.cameras[0].temperature = value


def test_temperature_takes_numpys_numbers(sim):
    numpy = pytest.importorskip("numpy")
    sim.cameras[0].temperature = numpy.int64(80)
    assert sim.cam.TemperatureState.Value == "Critical"


@pytest.mark.parametrize("at", [-math.inf, math.inf, math.nan])
def test_an_input_edge_at_no_time_is_refused_at_the_call(sim, at):
    with pytest.raises(ValueError, match="time.monotonic"):
        sim.cameras[0].set_input("Line1", True, at=at)
    assert sim.cameras[0].line_levels["Line1"] is False


@pytest.mark.parametrize("code", [1.5, "7", True, -1, 2**32])
def test_a_grab_fault_with_no_pylon_error_code_is_refused(sim, code):
    failure = RuntimeError("lost")
    failure.error_code = code
    with pytest.raises(ValueError, match="error_code"):
        sim.cameras[0].fail("Grab", failure)


# ------------------------------------------------------------------ handlers
def test_a_failing_handler_undoes_what_it_interrupted(sim, capsys):
    class Failing(pylon.ConfigurationEventHandler):
        def OnOpened(self, camera):
            raise ValueError("not this camera")

    class Images(pylon.ImageEventHandler):
        def OnImageGrabbed(self, camera, result):
            raise ValueError("no image wanted")
    cam = sim.cam
    cam.Close()
    failing = Failing()
    cam.RegisterConfiguration(failing, pylon.RegistrationMode_Append, pylon.Cleanup_None)
    with pytest.raises(ValueError, match="not this camera"):
        cam.Open()
    assert not cam.IsOpen()
    assert cam.DeregisterConfiguration(failing) and not cam.DeregisterConfiguration(failing)
    cam.Open()
    cam.RegisterImageEventHandler(Images(), pylon.RegistrationMode_Append, pylon.Cleanup_Delete)
    cam.StartGrabbing(pylon.GrabStrategy_OneByOne, pylon.GrabLoop_ProvidedByInstantCamera)
    deadline = time.monotonic() + 5
    while cam.IsGrabbing() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not cam.IsGrabbing()  # as pylon's grab loop thread: the grab ends
    assert "ValueError: no image wanted" in capsys.readouterr().err


def test_software_trigger_configuration_with_a_users_configuration(sim):
    calls = []

    class Log(pylon.ConfigurationEventHandler):
        pass
    for name in ("OnAttach", "OnAttached", "OnOpen", "OnOpened", "OnGrabStart", "OnGrabStarted",
                 "OnGrabStop", "OnGrabStopped", "OnClose", "OnClosed", "OnDestroy",
                 "OnDestroyed", "OnDetach", "OnDetached", "OnConfigurationRegistered"):
        setattr(Log, name, lambda self, camera, name=name: calls.append(name))
    cam = sim.pylon.InstantCamera()
    cam.RegisterConfiguration(sim.pylon.SoftwareTriggerConfiguration(),
                              pylon.RegistrationMode_ReplaceAll, pylon.Cleanup_Delete)
    cam.RegisterConfiguration(Log(), pylon.RegistrationMode_Append, pylon.Cleanup_Delete)
    sim.cam.Close()
    tl = sim.pylon.TlFactory.GetInstance()
    cam.Attach(tl.CreateFirstDevice())
    cam.Open()
    assert [cam.TriggerMode.Value, cam.TriggerSource.Value, cam.AcquisitionMode.Value] == \
        ["On", "Software", "Continuous"]
    cam.StartGrabbing()
    cam.ExecuteSoftwareTrigger()
    assert cam.RetrieveResult(1000).BlockID == 0
    cam.StopGrabbing()
    cam.Close()
    cam.DetachDevice()
    assert calls == ["OnConfigurationRegistered", "OnAttach", "OnAttached", "OnOpen", "OnOpened",
                     "OnGrabStart", "OnGrabStarted", "OnGrabStop", "OnGrabStopped", "OnClose",
                     "OnClosed", "OnDetach", "OnDetached"]


def test_exposure_end_events_carry_their_frame_id(sim):
    events = []

    class Events(pylon.CameraEventHandler):
        def OnCameraEvent(self, camera, user_id, node):
            events.append((user_id, camera.EventExposureEndFrameID.Value,
                           camera.EventExposureEndTimestamp.Value))
    cam = sim.cam
    cam.Close()
    cam.GrabCameraEvents.Value = True
    handler = Events()
    cam.RegisterCameraEventHandler(handler, "EventExposureEndFrameID", 7,
                                   pylon.RegistrationMode_Append, pylon.Cleanup_None)
    with pytest.raises(pylon.RuntimeException, match="Node Bogus for registering"):
        cam.RegisterCameraEventHandler(handler, "Bogus", 1, pylon.RegistrationMode_Append,
                                       pylon.Cleanup_None)
    cam.Open()
    cam.EventSelector.Value = "ExposureEnd"
    cam.EventNotification.Value = "On"
    cam.StartGrabbingMax(3)
    stamps = []
    while cam.IsGrabbing():
        stamps.append(cam.RetrieveResult(1000).TimeStamp)
    assert [(uid, frame) for uid, frame, _ in events] == [(7, 0), (7, 1), (7, 2)]
    assert all(end > start for (_, _, end), start in zip(events, stamps))


# ------------------------------------------------------------------ pylon's emulator
PARAMETER_STATES = r'''
names = json.loads(sys.argv[2])
cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
def states():
    return {name: [getattr(cam, name).ToString(), genicam.IsWritable(getattr(cam, name))]
            for name in names}
seen = {"closed": states()}
cam.Open()
seen["open"] = states()
for strategy in ("OneByOne", "LatestImageOnly", "LatestImages", "UpcomingImage"):
    cam.StartGrabbing(getattr(PYLON, "GrabStrategy_" + strategy))
    seen[strategy] = states()
    cam.StopGrabbing()
print(json.dumps(seen))
'''


@pytest.mark.parametrize("backend", ["emulator", "simulator"])
def test_camera_object_parameters_are_pylons(backend):
    """Every parameter of the camera object: value and writability closed, open
    and grabbing under each strategy, as on pylon's emulated camera."""
    from tavrocam_sim import parameters
    names = [row[0] for row in parameters.PARAMETERS if not row[0].startswith("Num")]
    runs = {which: child(PARAMETER_STATES, which, json.dumps(names))
            for which in {"emulator", backend}}
    assert runs[backend] == runs["emulator"]


@pytest.mark.parametrize("name,trigger,mode", [
    ("SoftwareTriggerConfiguration", "On", "Continuous"),
    ("AcquireContinuousConfiguration", "Off", "Continuous"),
    ("AcquireSingleFrameConfiguration", "Off", "SingleFrame")])
@pytest.mark.parametrize("whose", ["simulated", "pypylon"])
def test_standard_configurations_apply_on_open(sim, name, trigger, mode, whose):
    cam = sim.cam
    cam.TriggerMode.Value = "On" if trigger == "Off" else "Off"  # the opposite first
    cam.AcquisitionMode.Value = "SingleFrame" if mode == "Continuous" else "Continuous"
    cam.Close()
    source = sim.pylon if whose == "simulated" else pylon
    cam.RegisterConfiguration(getattr(source, name)(), pylon.RegistrationMode_ReplaceAll,
                              pylon.Cleanup_Delete)
    cam.Open()
    assert (cam.TriggerMode.Value, cam.AcquisitionMode.Value) == (trigger, mode)
    if whose == "pypylon":  # pypylon's own, called by hand, takes only pylon's cameras
        with pytest.raises(TypeError):
            getattr(pylon, name)().OnOpened(cam)


# pypylon's texts for a handler of the wrong class (confirmed on its emulator).
@pytest.mark.parametrize("register,text", [
    (lambda cam: cam.RegisterConfiguration(object(), pylon.RegistrationMode_Append,
                                           pylon.Cleanup_None),
     "in method 'InstantCamera_RegisterConfiguration', argument 2 of type "
     "'Pylon::CConfigurationEventHandler *'"),
    (lambda cam: cam.RegisterImageEventHandler(object(), pylon.RegistrationMode_Append,
                                               pylon.Cleanup_None),
     "in method 'InstantCamera_RegisterImageEventHandler', argument 2 of type "
     "'Pylon::CImageEventHandler *'"),
    (lambda cam: cam.RegisterCameraEventHandler(object(), "EventExposureEndData", 1,
                                                pylon.RegistrationMode_Append, pylon.Cleanup_None),
     "Wrong number or type of arguments for overloaded function "
     "'InstantCamera_RegisterCameraEventHandler'.")], ids=["configuration", "image", "event"])
def test_a_handler_of_the_wrong_class_is_a_type_error(sim, register, text):
    with pytest.raises(TypeError) as caught:
        register(sim.cam)
    assert str(caught.value).startswith(text)


@pytest.mark.parametrize("name", ["this", "thisown", "_anything", "__array__"])
@pytest.mark.parametrize("where", ["camera", "node map", "parameters", "result"])
def test_private_names_are_never_placeholders(sim, name, where):
    sim.cam.StartGrabbing()
    target = {"camera": sim.cam, "node map": sim.cam.GetNodeMap(),
              "parameters": sim.cam.GetInstantCameraNodeMap(),
              "result": sim.cam.RetrieveResult(1000)}[where]
    with pytest.raises(AttributeError):
        getattr(target, name)
    if where in ("node map", "parameters"):  # GenApi's node map behind it, for pylon's own use
        assert target._connection.node_map.GetNode("MaxNumBuffer" if where == "parameters" else "Width")


CONFIGURATION_EVENTS = r'''
log = []

class Log(PYLON.ConfigurationEventHandler):
    pass
for name in ("OnAttach", "OnAttached", "OnDetach", "OnDetached", "OnDestroy", "OnDestroyed",
             "OnOpen", "OnOpened", "OnClose", "OnClosed", "OnGrabStart", "OnGrabStarted",
             "OnGrabStop", "OnGrabStopped", "OnConfigurationRegistered"):
    setattr(Log, name, lambda self, camera, name=name: log.append(name))
tl = pylon.TlFactory.GetInstance()
cam = pylon.InstantCamera()
cam.RegisterConfiguration(Log(), PYLON.RegistrationMode_Append, PYLON.Cleanup_Delete)
cam.Attach(tl.CreateDevice(tl.EnumerateDevices()[0]))
cam.Open(); cam.StartGrabbing()
log.append("detach while grabbing")
device = cam.DetachDevice()
log.append([cam.IsGrabbing(), cam.IsPylonDeviceAttached(), device is not None])
cam.Attach(tl.CreateDevice(tl.EnumerateDevices()[1]))
cam.Open(); cam.StartGrabbing()
log.append("attach while grabbing")
cam.Attach(tl.CreateDevice(tl.EnumerateDevices()[0]))
log.append([cam.IsGrabbing(), cam.IsOpen()])
log.append("grab one")
cam.GrabOne(1000)
log.append("destroy")
cam.Open()
cam.DestroyDevice()
print(json.dumps(log))
'''


def test_configuration_events_come_as_on_pylons_emulator():
    runs = {backend: child(CONFIGURATION_EVENTS, backend, cameras="2")
            for backend in ("emulator", "simulator")}
    assert runs["simulator"] == runs["emulator"]
    assert "OnDestroyed" in runs["simulator"]


IMAGE_EVENTS = r'''
log = []

class Images(PYLON.ImageEventHandler):
    def OnImageEventHandlerRegistered(self, camera):
        log.append("registered")

    def OnImageEventHandlerDeregistered(self, camera):
        log.append("deregistered")

    def OnImageGrabbed(self, camera, result):
        log.append(["grabbed", threading.current_thread() is threading.main_thread(),
                    result.GrabSucceeded(), result.ImageNumber])
cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
handler = Images()
cam.RegisterImageEventHandler(handler, PYLON.RegistrationMode_Append, PYLON.Cleanup_None)
cam.RegisterConfiguration(pylon.SoftwareTriggerConfiguration(), PYLON.RegistrationMode_ReplaceAll,
                          PYLON.Cleanup_Delete)
cam.Open()
cam.StartGrabbing(PYLON.GrabStrategy_OneByOne, PYLON.GrabLoop_ProvidedByInstantCamera)
for count in range(3):
    cam.WaitForFrameTriggerReady(1000, PYLON.TimeoutHandling_ThrowException)
    cam.ExecuteSoftwareTrigger()
    deadline = time.monotonic() + 5
    while len(log) < count + 2 and time.monotonic() < deadline:
        time.sleep(0.01)
try:
    cam.RetrieveResult(10, PYLON.TimeoutHandling_Return)
except Exception as exc:
    log.append(type(exc).__name__)
cam.StopGrabbing()
log.append(cam.DeregisterImageEventHandler(handler))
print(json.dumps(log))
'''


def test_image_events_come_as_on_pylons_emulator():
    runs = {backend: child(IMAGE_EVENTS, backend) for backend in ("emulator", "simulator")}
    assert runs["simulator"] == runs["emulator"]
    assert runs["simulator"][1:4] == [["grabbed", False, True, n] for n in (1, 2, 3)]


# What a grab loop thread's handler may call, and stops meeting busy handlers.
IN_THE_LOOP = r'''
import signal
what = sys.argv[2]
factory = pylon.TlFactory.GetInstance()
cams = [pylon.InstantCamera(factory.CreateDevice(d)) for d in factory.EnumerateDevices()[:2]]
both, out = threading.Barrier(2, timeout=5), {}

class Handler(PYLON.ImageEventHandler):
    def __init__(self, me):
        super().__init__()
        self.me = me

    def OnImageGrabbed(self, camera, result):
        if self.me in out:
            return
        out[self.me] = None
        try:
            if what == "cross":  # both at the same moment
                both.wait()
                cams[1 - self.me].StopGrabbing()
                out[self.me] = cams[1 - self.me].IsGrabbing()
            elif what == "busy":
                time.sleep(1.5)
            elif what == "retrieve":
                camera.RetrieveResult(100, PYLON.TimeoutHandling_Return)
            else:
                camera.StopGrabbing()
                camera.StartGrabbing(PYLON.GrabStrategy_OneByOne, PYLON.GrabLoop_ProvidedByUser)
        except Exception as exc:
            out[self.me] = [type(exc).__name__, str(exc)]

class Stopped(PYLON.ConfigurationEventHandler):
    def OnGrabStopped(self, camera):
        out["stopped"] = True

for me, cam in enumerate(cams):
    cam.RegisterImageEventHandler(Handler(me), PYLON.RegistrationMode_Append, PYLON.Cleanup_Delete)
    cam.RegisterConfiguration(Stopped(), PYLON.RegistrationMode_Append, PYLON.Cleanup_Delete)
    cam.Open()
    cam.Width.Value, cam.Height.Value = 64, 48
for cam in cams[:2 if what == "cross" else 1]:
    cam.StartGrabbing(PYLON.GrabStrategy_OneByOne, PYLON.GrabLoop_ProvidedByInstantCamera)
while 0 not in out:
    time.sleep(0.01)
if what == "busy":  # Ctrl-C while StopGrabbing may wait for the handler
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        cams[0].StopGrabbing()
        time.sleep(3)
    except KeyboardInterrupt:
        out["interrupted"] = True
time.sleep(1)
start = time.monotonic()
for cam in cams:
    cam.StopGrabbing()
out["later"] = [time.monotonic() - start < 1, cams[0].IsGrabbing(), cams[0].Width.IsWritable()]
print(json.dumps(out))
'''


@pytest.mark.parametrize("what,seen", [
    ("cross", {"0": False, "1": False}),
    ("busy", {"0": None, "interrupted": True}),
    ("retrieve", {"0": ["RuntimeException", "There is already a thread waiting for a result. : "
                        "RuntimeException thrown (file 'InstantCameraImpl.h', line 1145)"]}),
    ("restart", {"0": ["RuntimeError", "C++ std::exception: Resource deadlock avoided"]}),
])
@pytest.mark.parametrize("backend", ["emulator", "simulator"])
def test_grab_loop_handlers_call_the_camera_as_pylons_do(backend, what, seen):
    assert child(IN_THE_LOOP, backend, what, cameras="2") == {
        **seen, "stopped": True, "later": [True, False, True]}


FORKED = r'''
import json, os, sys, threading, time
import tavrocam_sim
from tavrocam_sim import registers
sim = tavrocam_sim.Simulation(cameras=1)
cam = sim.pylon.InstantCamera(sim.pylon.TlFactory.GetInstance().CreateFirstDevice())
cam.Open()
inside, leave = threading.Event(), threading.Event()
read = registers.Registers.read

def held(self, address, length):  # the other thread stays inside a node read
    if threading.current_thread().name == "other":
        inside.set()
        leave.wait()
    return read(self, address, length)

registers.Registers.read = held
if sys.argv[1] == "the simulator's lock":
    def other():
        with registers.LOCK:
            inside.set()
            leave.wait()
else:  # GenApi holds its node map's lock around the read
    def other():
        cam.DeviceTemperature.GetValue()
threading.Thread(target=other, name="other", daemon=True).start()
inside.wait()
pid = os.fork()
if pid == 0:
    cam.Gain.Value = 2.0
    os._exit(0 if cam.Gain.Value == 2.0 and cam.Width.Value > 0 else 1)
deadline = time.monotonic() + 10
while os.waitpid(pid, os.WNOHANG) == (0, 0) and time.monotonic() < deadline:
    time.sleep(0.01)
done = time.monotonic() < deadline
if not done:
    os.kill(pid, 9)
leave.set()
print(json.dumps(done))
'''


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
@pytest.mark.parametrize("held", ["the simulator's lock", "a node map"])
def test_a_child_forked_while_another_thread_holds_the_camera_goes_on(held):
    proc = subprocess.run([sys.executable, "-W", "ignore", "-c", FORKED, held],
                          capture_output=True, text=True, timeout=60)
    assert proc.stdout.strip() == "true", proc.stderr
