// Every difference between the supported CPython versions (3.10 to 3.15)
// lives here; the rest of the module calls these and no #if of its own.
#pragma once

#include "access/ref.hpp"

namespace tavrocam::compat {

// getattr(obj, name) where an AttributeError means "absent": 1 with `out`
// set, 0 with nothing set, -1 with another error set.
inline int lookup_optional(PyObject* obj, PyObject* name, Ref& out) {
    PyObject* found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int status = PyObject_GetOptionalAttr(obj, name, &found);
#else
    const int status = _PyObject_LookupAttr(obj, name, &found);
#endif
    out = Ref::take(found);
    return status;
}

// Takes the exception in flight out of the thread state, normalised and with
// its traceback attached; empty when none is set.
inline Ref take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::take(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return Ref();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::take(type);
    Ref owned_traceback = Ref::take(traceback);
    Ref exception = Ref::take(value);
    if (owned_traceback && exception) {
        PyException_SetTraceback(exception.get(), owned_traceback.get());
    }
    return exception;
#endif
}

// Puts an exception taken by take_raised() back in flight.
inline void raise_again(Ref exception) {
    if (!exception) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    Ref type = Ref::retain(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    Ref traceback = Ref::take(PyException_GetTraceback(exception.get()));
    PyErr_Restore(type.release(), exception.release(), traceback.release());
#endif
}

// The exception being handled in the innermost exception-info entry of the
// thread, the one an `except` block writes: the running generator's or
// coroutine's own entry, else the thread's. Saved and put back exactly as it
// was (an empty entry holds NULL or None, and keeps which). sys.exc_info()
// shows the topmost entry that is not empty, which may be a caller's: that
// one is neither read nor written here.
class HandledState {
public:
    HandledState() {
        auto* entry = PyThreadState_Get()->exc_info;
#if PY_VERSION_HEX < 0x030B0000
        type_ = Ref::retain(entry->exc_type);
        traceback_ = Ref::retain(entry->exc_traceback);
#endif
        value_ = Ref::retain(entry->exc_value);
    }
    // Every field holds its saved object before any object it held goes.
    void restore() {
        auto* entry = PyThreadState_Get()->exc_info;
#if PY_VERSION_HEX < 0x030B0000
        Ref old_type = Ref::take(entry->exc_type);
        Ref old_traceback = Ref::take(entry->exc_traceback);
        entry->exc_type = type_.release();
        entry->exc_traceback = traceback_.release();
#endif
        Ref old_value = Ref::take(entry->exc_value);
        entry->exc_value = value_.release();
    }
    // Makes `exception` the one being handled, in the innermost entry.
    static void set(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030B0000
        PyErr_SetHandledException(exception);
#else
        Ref type = Ref::retain(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
        Ref value = Ref::retain(exception);
        Ref traceback = Ref::take(PyException_GetTraceback(exception));
        PyErr_SetExcInfo(type.release(), value.release(), traceback.release());
#endif
    }

private:
#if PY_VERSION_HEX < 0x030B0000
    Ref type_;
    Ref traceback_;
#endif
    Ref value_;
};

// The dotted name an extension module is being loaded under, as the
// interpreter announces it to single-phase initialisation; NULL when it
// announces none. From 3.12 the interpreter keeps it to itself.
inline const char* package_context() {
#if PY_VERSION_HEX >= 0x030C0000
    return nullptr;
#else
    return _Py_PackageContext;
#endif
}

}  // namespace tavrocam::compat

// Member types and flags before 3.12 (deprecated from 3.12 on).
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace tavrocam::compat {

// The type and flag of the method type's offset members (__vectorcalloffset__
// and the like): the names of 3.12 on, structmember.h's before them.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int member_ssize_t = Py_T_PYSSIZET;
inline constexpr int member_readonly = Py_READONLY;
#else
inline constexpr int member_ssize_t = T_PYSSIZET;
inline constexpr int member_readonly = READONLY;
#endif

// The module definition's slot that tells the import system the module works
// in the main interpreter only (3.12 on); before 3.12, an early end of the
// slot list, and the execution step refuses subinterpreters by itself.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr PyModuleDef_Slot main_interpreter_only_slot = {
    Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#else
inline constexpr PyModuleDef_Slot main_interpreter_only_slot = {0, nullptr};
#endif

}  // namespace tavrocam::compat
