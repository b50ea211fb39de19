#include "access/camera.hpp"

#include "access/names.hpp"
#include "access/node.hpp"
#include "features/groups.hpp"

namespace tavrocam {
namespace {

// hasattr(self, "cam") and self.cam.IsOpen(); -1 with the error set when a
// step other than the absence of `cam` fails.
int camera_is_open(PyObject* self) {
    PyObject* probe = nullptr;
    const int present = _PyObject_LookupAttr(self, names::cam, &probe);
    Py_XDECREF(probe);
    if (present <= 0) {
        return present;
    }
    Ref cam(PyObject_GetAttr(self, names::cam));
    if (!cam) {
        return -1;
    }
    Ref open(call_method0(cam.get(), names::IsOpen));
    if (!open) {
        return -1;
    }
    return PyObject_IsTrue(open.get());
}

// self.cam.Close(), its result dropped.
int close_camera(PyObject* self) {
    Ref cam(PyObject_GetAttr(self, names::cam));
    if (!cam) {
        return -1;
    }
    return discard(call_method0(cam.get(), names::Close));
}

// self.cam.Open(); an ordinary failure is absorbed, with the in-use line
// when its text says another program holds the camera.
int open_camera(PyObject* globals, PyObject* self) {
    Ref cam(PyObject_GetAttr(self, names::cam));
    if (!cam) {
        return -1;
    }
    if (discard(call_method0(cam.get(), names::Open)) == 0) {
        return 0;
    }
    cam = Ref();
    if (!ordinary_failure()) {
        return -1;
    }
    Handling failure;
    bool in_use = false;
    for (PyObject* phrase : {names::phrase_controlled, names::phrase_denied}) {
        Ref text(PyObject_Str(failure.exception()));
        if (!text) {
            return -1;
        }
        const int found = PySequence_Contains(text.get(), phrase);
        if (found < 0) {
            return -1;
        }
        if (found) {
            in_use = true;
            break;
        }
    }
    if (in_use) {
        return print_line(globals, names::msg_in_use);
    }
    return 0;
}

// The protected block of the constructor. 0, or -1 with the error set.
int connect(PyObject* globals, PyObject* self, PyObject* device_index) {
    Ref pylon(load_global(globals, names::pylon));
    if (!pylon) {
        return -1;
    }
    Ref factory_class(PyObject_GetAttr(pylon.get(), names::TlFactory));
    if (!factory_class) {
        return -1;
    }
    Ref tl_factory(call_method0(factory_class.get(), names::GetInstance));
    if (!tl_factory) {
        return -1;
    }
    Ref devices(call_method0(tl_factory.get(), names::EnumerateDevices));
    if (!devices) {
        return -1;
    }
    const int any = PyObject_IsTrue(devices.get());
    if (any < 0) {
        return -1;
    }
    if (!any) {
        PyErr_SetObject(PyExc_RuntimeError, names::no_cameras);
        return -1;
    }
    Ref create(PyObject_GetAttr(tl_factory.get(), names::CreateDevice));
    if (!create) {
        return -1;
    }
    Ref entry(PyObject_GetItem(devices.get(), device_index));
    if (!entry) {
        return -1;
    }
    Ref device(PyObject_CallOneArg(create.get(), entry.get()));
    if (!device) {
        return -1;
    }
    pylon = Ref(load_global(globals, names::pylon));
    if (!pylon) {
        return -1;
    }
    Ref camera(call_method1(pylon.get(), names::InstantCamera, device.get()));
    if (!camera || PyObject_SetAttr(self, names::cam, camera.get()) < 0) {
        return -1;
    }
    camera = Ref();
    if (open_camera(globals, self) < 0) {
        return -1;
    }
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        const GroupSpec& group = *kGroups[g];
        Ref cls(PyObject_GetAttr(self, group.py_class_name));
        if (!cls) {
            return -1;
        }
        Ref cam(PyObject_GetAttr(self, names::cam));
        if (!cam) {
            return -1;
        }
        Ref instance(PyObject_CallOneArg(cls.get(), cam.get()));
        if (!instance || PyObject_SetAttr(self, group.py_attribute, instance.get()) < 0) {
            return -1;
        }
    }
    Ref device_group(PyObject_GetAttr(self, names::Device));
    if (!device_group) {
        return -1;
    }
    Ref model(call_method0(device_group.get(), names::CUF_GET_ModelName));
    if (!model) {
        return -1;
    }
    return print_joined(globals, {names::msg_connected, model.get()});
}

// __init__(self, device_index=0): connect; report and absorb ordinary failures.
PyObject* tavrocam_init(MethodObject* method, PyObject* const* args) {
    PyObject* self = args[0];
    if (connect(method->globals, self, args[1]) == 0) {
        Py_RETURN_NONE;
    }
    if (!ordinary_failure()) {
        return nullptr;
    }
    Handling failure;
    const int open = camera_is_open(self);
    if (open < 0 || (open && close_camera(self) < 0)) {
        return nullptr;
    }
    if (print_joined(method->globals, {names::msg_init_failure, failure.exception()}) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// close(self): close the camera when it is open.
PyObject* tavrocam_close(MethodObject* method, PyObject* const* args) {
    PyObject* self = args[0];
    const int open = camera_is_open(self);
    if (open < 0) {
        return nullptr;
    }
    if (open) {
        if (close_camera(self) < 0 || print_line(method->globals, names::msg_closed) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace

MethodSpec kTavrocamInit = custom("__init__", tavrocam_init, nullptr, "device_index", nullptr, Default::Zero);
MethodSpec kTavrocamClose = custom("close", tavrocam_close, "關閉相機並釋放資源");
MethodSpec kFeatureBaseInit = custom("__init__", feature_base_init, nullptr, "cam");

int prepare_camera_methods() {
    if (prepare_method(kTavrocamInit, "CLASS_Tavrocam") < 0 ||
        prepare_method(kTavrocamClose, "CLASS_Tavrocam") < 0 ||
        prepare_method(kFeatureBaseInit, "CLASS_Tavrocam._FeatureBase") < 0) {
        return -1;
    }
    return 0;
}

}  // namespace tavrocam
