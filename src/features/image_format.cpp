// ImageFormatControl: ROI size and position, pixel format, mirroring, and
// centring of the ROI on the sensor.
#include "access/names.hpp"
#include "access/node.hpp"
#include "features/groups.hpp"

namespace tavrocam {
namespace {

// Centres the ROI along one axis. When the camera offers the centring
// feature (`center`), it is executed; otherwise the offset is computed as
// (size.GetMax() - size.GetValue()) // 2 and written to `offset`.
PyObject* centre(PyObject* self, PyObject* center, PyObject* size, PyObject* offset) {
    Ref cam(PyObject_GetAttr(self, names::_cam));
    if (!cam) {
        return nullptr;
    }
    PyObject* probe = nullptr;
    const int present = _PyObject_LookupAttr(cam.get(), center, &probe);
    Py_XDECREF(probe);
    cam = Ref();
    if (present < 0) {
        return nullptr;
    }
    if (present) {
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

PyObject* center_x(MethodObject*, PyObject* const* args) {
    return centre(args[0], names::CenterX, names::Width, names::OffsetX);
}

PyObject* center_y(MethodObject*, PyObject* const* args) {
    return centre(args[0], names::CenterY, names::Height, names::OffsetY);
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
