// ImageFormatControl: ROI size and position, pixel format, mirroring, and
// centring of the ROI on the sensor.
#include "access/node.hpp"
#include "features/groups.hpp"

namespace tavrocam {
namespace {

// The class `name` of the SDK bound as the module's `pylon`, in `cls`; empty
// when there is no `pylon`, the SDK has no attribute of that name, or it is
// not a class. 0, or -1 with the error set (any failure of the look-up other
// than AttributeError).
Status sdk_class(const Scope& scope, PyObject* name, Ref& cls) {
    const Names& names = scope.names();
    Ref pylon = lookup_in(scope.globals, names.pylon);
    if (!pylon) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (compat::lookup_optional(pylon.get(), name, cls) < 0) {
        return -1;
    }
    if (cls && !PyType_Check(cls.get())) {
        cls.reset();
    }
    return 0;
}

// How an axis is centred on this camera object.
enum class Centring {
    Command,      // it offers the centring command: execute it
    Computed,     // it has no such attribute: compute the offset as documented
    CameraRules,  // the real SDK without a usable command: compute by the camera's ROI rules
    Automatic,    // the camera keeps the axis centred itself (Boolean feature on)
    Failed,       // an error is set
};

// The probe of the centring feature `center` (hasattr semantics). Beyond a
// missing attribute, the real SDK says "no centring command" in three ways:
// older pypylon raises pylon.LogicalErrorException for a node the camera
// lacks, newer pypylon hands out a pylon.PlaceholderParameter whose Execute
// raises, and on this camera model CenterX/CenterY are Boolean features with
// no Execute at all.
Centring probe_centring(const Scope& scope, PyObject* self, PyObject* center) {
    const Names& names = scope.names();
    Ref cam = attr(self, names._cam);
    if (!cam) {
        return Centring::Failed;
    }
    Ref node;
    const int present = compat::lookup_optional(cam.get(), center, node);
    cam.reset();
    if (present == 0) {
        return Centring::Computed;
    }
    if (present < 0) {
        Handling failure;
        Ref missing;
        if (sdk_class(scope, names.LogicalErrorException, missing) < 0) {
            return Centring::Failed;
        }
        if (missing && PyErr_GivenExceptionMatches(failure.exception(), missing.get())) {
            return Centring::CameraRules;
        }
        failure.reraise();
        return Centring::Failed;
    }
    Ref execute;
    const int has_execute = compat::lookup_optional(node.get(), names.Execute, execute);
    if (has_execute < 0) {
        return Centring::Failed;
    }
    if (has_execute == 0) {
        Ref on = call_method0(node.get(), names.GetValue);
        const int automatic = on ? PyObject_IsTrue(on.get()) : -1;
        if (automatic < 0) {
            return Centring::Failed;
        }
        return automatic ? Centring::Automatic : Centring::CameraRules;
    }
    Ref placeholder;
    if (sdk_class(scope, names.PlaceholderParameter, placeholder) < 0) {
        return Centring::Failed;
    }
    if (!placeholder) {
        return Centring::Command;
    }
    const int is_placeholder = PyObject_IsInstance(node.get(), placeholder.get());
    if (is_placeholder < 0) {
        return Centring::Failed;
    }
    return is_placeholder ? Centring::CameraRules : Centring::Command;
}

// size.GetMax() and size.GetValue(), in this order.
Status read_size(const Names& names, PyObject* self, PyObject* size, Ref& max_size, Ref& cur_size) {
    max_size = node_call(names, self, size, names.GetMax);
    cur_size = max_size ? node_call(names, self, size, names.GetValue) : Ref();
    return cur_size ? 0 : -1;
}

// (max_size - cur_size) // 2, with the number protocol.
Ref half_spare(const Ref& max_size, const Ref& cur_size) {
    Ref spare = Ref::take(PyNumber_Subtract(max_size.get(), cur_size.get()));
    Ref two = spare ? Ref::take(PyLong_FromLong(2)) : Ref();
    return two ? Ref::take(PyNumber_FloorDivide(spare.get(), two.get())) : Ref();
}

// (size.GetMax() - size.GetValue()) // 2, written to `offset` unchanged; the
// offset's SetValue is looked up before the arithmetic.
Ref centre_computed(const Names& names, PyObject* self, PyObject* size, PyObject* offset) {
    Ref max_size, cur_size;
    if (read_size(names, self, size, max_size, cur_size) < 0) {
        return Ref();
    }
    Ref offset_node = node_of(names, self, offset);
    Ref write = offset_node ? attr(offset_node.get(), names.SetValue) : Ref();
    Ref value = write ? half_spare(max_size, cur_size) : Ref();
    if (!value || dropped(call1(write.get(), value.get())) < 0) {
        return Ref();
    }
    return none();
}

// By the camera's ROI rules: the size's maximum shrinks as the offset grows,
// and an offset must lie on its grid (GetInc() steps from GetMin()). So the
// offset goes to its minimum first, as the vendor's samples do, which makes
// the result independent of where the ROI was; the centred offset is then
// min + (spare // 2) rounded down onto the grid.
Ref centre_by_camera_rules(const Names& names, PyObject* self, PyObject* size, PyObject* offset) {
    Ref lowest = node_call(names, self, offset, names.GetMin);
    Ref step = lowest ? node_call(names, self, offset, names.GetInc) : Ref();
    if (!step || node_set(names, self, offset, lowest.get()) < 0) {
        return Ref();
    }
    Ref max_size, cur_size;
    if (read_size(names, self, size, max_size, cur_size) < 0) {
        return Ref();
    }
    Ref half = half_spare(max_size, cur_size);
    Ref steps = half ? Ref::take(PyNumber_FloorDivide(half.get(), step.get())) : Ref();
    Ref span = steps ? Ref::take(PyNumber_Multiply(steps.get(), step.get())) : Ref();
    Ref value = span ? Ref::take(PyNumber_Add(lowest.get(), span.get())) : Ref();
    if (!value || node_set(names, self, offset, value.get()) < 0) {
        return Ref();
    }
    return none();
}

// Centres the ROI along one axis.
Ref centre(MethodObject* method, PyObject* self, PyObject* center, PyObject* size,
           PyObject* offset) {
    const Names& names = method->scope.names();
    switch (probe_centring(method->scope, self, center)) {
        case Centring::Command:
            if (dropped(node_call(names, self, center, names.Execute)) < 0) {
                return Ref();
            }
            return none();
        case Centring::Computed:
            return centre_computed(names, self, size, offset);
        case Centring::CameraRules:
            return centre_by_camera_rules(names, self, size, offset);
        case Centring::Automatic:
            return none();
        case Centring::Failed:
            break;
    }
    return Ref();
}

Ref center_x(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    return centre(method, args[0], names.CenterX, names.Width, names.OffsetX);
}

Ref center_y(MethodObject* method, PyObject* const* args) {
    const Names& names = method->scope.names();
    return centre(method, args[0], names.CenterY, names.Height, names.OffsetY);
}

const MethodSpec methods[] = {
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

const GroupSpec kImageFormatGroup = group("ImageFormatControl", "ImageFormat", methods);

}  // namespace tavrocam
