// ImageFormatControl: ROI size and position, pixel format, mirroring, and
// centring of the ROI on the sensor.
#include "access/names.hpp"
#include "access/node.hpp"
#include "features/groups.hpp"

namespace tavrocam {
namespace {

// The class named `name` in the module's `pylon`, when the SDK bound there
// has one (new reference), else NULL; never leaves an error set.
PyObject* sdk_class(PyObject* globals, PyObject* name) {
    PyObject* pending_type;
    PyObject* pending_value;
    PyObject* pending_tb;
    PyErr_Fetch(&pending_type, &pending_value, &pending_tb);
    PyObject* cls = nullptr;
    PyObject* pylon = PyDict_GetItemWithError(globals, names::pylon);
    if (pylon == nullptr || _PyObject_LookupAttr(pylon, name, &cls) <= 0 || !PyType_Check(cls)) {
        Py_CLEAR(cls);
    }
    PyErr_Clear();
    PyErr_Restore(pending_type, pending_value, pending_tb);
    return cls;
}

// Whether the camera object offers `center` as a centring command: the
// attribute exists (hasattr semantics; the SDK's own "node not existing"
// error, pylon.LogicalErrorException, counts as absence too), it has Execute
// (on this camera model CenterX/CenterY are Boolean features, which have
// none), and it is not the pylon.PlaceholderParameter that newer SDK
// releases hand out for a feature the camera lacks.
// 1 yes, 0 no, -1 with the error set.
int has_centring_command(PyObject* globals, PyObject* self, PyObject* center) {
    Ref cam(PyObject_GetAttr(self, names::_cam));
    if (!cam) {
        return -1;
    }
    PyObject* found = nullptr;
    const int present = _PyObject_LookupAttr(cam.get(), center, &found);
    Ref node(found);
    if (present < 0) {
        Ref missing(sdk_class(globals, names::LogicalErrorException));
        if (missing && PyErr_ExceptionMatches(missing.get())) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (present == 0) {
        return 0;
    }
    PyObject* execute = nullptr;
    const int has_execute = _PyObject_LookupAttr(node.get(), names::Execute, &execute);
    Py_XDECREF(execute);
    if (has_execute <= 0) {
        return has_execute;
    }
    Ref placeholder(sdk_class(globals, names::PlaceholderParameter));
    if (!placeholder) {
        return 1;
    }
    const int is_placeholder = PyObject_IsInstance(node.get(), placeholder.get());
    return is_placeholder < 0 ? -1 : !is_placeholder;
}

// Centres the ROI along one axis. When the camera offers the centring
// command (`center`), it is executed; otherwise the offset is computed as
// (size.GetMax() - size.GetValue()) // 2 and written to `offset`.
PyObject* centre(MethodObject* method, PyObject* self, PyObject* center, PyObject* size,
                 PyObject* offset) {
    const int command = has_centring_command(method->globals, self, center);
    if (command < 0) {
        return nullptr;
    }
    if (command) {
        if (discard(node_call(self, center, names::Execute)) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref max_size(node_call(self, size, names::GetMax));
    if (!max_size) {
        return nullptr;
    }
    Ref cur_size(node_call(self, size, names::GetValue));
    if (!cur_size) {
        return nullptr;
    }
    Ref offset_node(node_of(self, offset));
    if (!offset_node) {
        return nullptr;
    }
    Ref write(PyObject_GetAttr(offset_node.get(), names::SetValue));
    if (!write) {
        return nullptr;
    }
    Ref spare(PyNumber_Subtract(max_size.get(), cur_size.get()));
    if (!spare) {
        return nullptr;
    }
    Ref two(PyLong_FromLong(2));
    if (!two) {
        return nullptr;
    }
    Ref value(PyNumber_FloorDivide(spare.get(), two.get()));
    if (!value) {
        return nullptr;
    }
    if (discard(PyObject_CallOneArg(write.get(), value.get())) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* center_x(MethodObject* method, PyObject* const* args) {
    return centre(method, args[0], names::CenterX, names::Width, names::OffsetX);
}

PyObject* center_y(MethodObject* method, PyObject* const* args) {
    return centre(method, args[0], names::CenterY, names::Height, names::OffsetY);
}

MethodSpec methods[] = {
    getter("CUF_GET_Width", "Width"),
    setter("CUF_SET_Width", "Width", "val"),
    getter("CUF_GET_Height", "Height"),
    setter("CUF_SET_Height", "Height", "val"),
    getter("CUF_GET_PixelFormat", "PixelFormat"),
    setter("CUF_SET_PixelFormat", "PixelFormat", "fmt"),
    getter("CUF_GET_OffsetX", "OffsetX"),
    setter("CUF_SET_OffsetX", "OffsetX", "val"),
    getter("CUF_GET_OffsetY", "OffsetY"),
    setter("CUF_SET_OffsetY", "OffsetY", "val"),
    custom("CUF_SET_CenterX", center_x, "自動將 ROI 居中於水平方向"),
    custom("CUF_SET_CenterY", center_y, "自動將 ROI 居中於垂直方向"),
    getter("CUF_GET_ReverseX", "ReverseX"),
    setter("CUF_SET_ReverseX", "ReverseX", "en", "設定水平鏡像 (True/False)"),
    getter("CUF_GET_ReverseY", "ReverseY"),
    setter("CUF_SET_ReverseY", "ReverseY", "en", "設定垂直鏡像 (True/False)"),
};

}  // namespace

GroupSpec kImageFormatGroup = group("ImageFormatControl", "ImageFormat", methods);

}  // namespace tavrocam
