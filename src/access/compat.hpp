// Every difference between the supported CPython versions (3.10 to 3.15)
// lives here; the rest of the module calls these and no #if of its own.
//
// The module uses the public C API except for three private parts, each
// here and nowhere else:
// - the innermost exception-info entry of the thread state
//   (PyThreadState::exc_info, a _PyErr_StackItem), read by HandledState on
//   every version; see there for why, and for the build-time check of its
//   layout;
// - _PyObject_LookupAttr, before 3.13 (public from 3.13 on as
//   PyObject_GetOptionalAttr);
// - _Py_PackageContext, before 3.12 (from 3.12 on the interpreter keeps it
//   to itself and the module reads nothing).
#pragma once

#include <cstddef>
#include <type_traits>

#include "access/ref.hpp"

namespace tavrocam::compat {

// getattr(obj, name) where an AttributeError means "absent": 1 with `out`
// set, 0 with nothing set, -1 with another error set. Before 3.13 the
// function that hasattr() itself uses there: it makes no AttributeError for
// an absent attribute only to discard it, which keeps the centring methods'
// probes as cheap as their Python equivalents.
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
// coroutine's own entry, else the thread's. Saved and put back as it was, as
// an `except` block of Python code does (an empty entry holds NULL or None,
// which every reader takes for the same). sys.exc_info() shows the
// topmost entry that is not empty, which may be a caller's: that one is
// neither read nor written here.
//
// The public API writes the innermost entry (PyErr_SetHandledException from
// 3.11, PyErr_SetExcInfo before) and is used for every write, but it reads
// only the topmost entry that is not empty (PyErr_GetHandledException,
// PyErr_GetExcInfo). Saving that and writing it back would leave a caller's
// exception in a generator's own entry, to be seen there once the generator
// runs again outside that caller's `except` block. So the saving reads the
// entry itself, PyThreadState_Get()->exc_info, a private structure; the
// static_assert below stops the build on a CPython whose thread state or
// entry is not laid out as this code expects, or whose handled-exception
// setter has another signature, rather than let it build and then report the
// exception state wrongly.
namespace layout {

// The fields an exception-info entry holds besides the link to the next
// entry: the exception alone from 3.11 on; its type, value and traceback in
// 3.10.
#if PY_VERSION_HEX >= 0x030B0000
inline constexpr std::size_t kEntryFields = 1;
#else
inline constexpr std::size_t kEntryFields = 3;
#endif

template <class Entry, class = void>
struct EntryAsExpected : std::false_type {};
template <class Entry>
struct EntryAsExpected<Entry, std::void_t<decltype(&Entry::exc_value), decltype(&Entry::previous_item)>>
    : std::bool_constant<std::is_same_v<decltype(Entry::exc_value), PyObject*> &&
                         std::is_same_v<decltype(Entry::previous_item), Entry*> &&
                         std::is_standard_layout_v<Entry> &&
                         sizeof(Entry) == (kEntryFields + 1) * sizeof(void*)> {};

template <class ThreadState, class = void>
struct ThreadStateAsExpected : std::false_type {};
template <class ThreadState>
struct ThreadStateAsExpected<ThreadState, std::void_t<decltype(&ThreadState::exc_info)>>
    : std::bool_constant<std::is_pointer_v<decltype(ThreadState::exc_info)> &&
                         EntryAsExpected<std::remove_pointer_t<decltype(ThreadState::exc_info)>>::value> {};

}  // namespace layout

static_assert(layout::ThreadStateAsExpected<PyThreadState>::value,
              "Tavrocam: this CPython's thread state is not what HandledState in "
              "src/access/compat.hpp expects (PyThreadState::exc_info pointing to an entry "
              "of exactly the handled exception's fields and previous_item); the module "
              "would save and restore the exception being handled wrongly. Adapt HandledState "
              "to this version before building.");
#if PY_VERSION_HEX >= 0x030B0000
static_assert(std::is_same_v<decltype(&PyErr_SetHandledException), void (*)(PyObject*)>,
              "Tavrocam: this CPython's handled-exception API is not what HandledState in "
              "src/access/compat.hpp expects; adapt it to this version before building.");
#endif

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
#if PY_VERSION_HEX >= 0x030B0000
        PyErr_SetHandledException(value_.get());
        value_.reset();
#else
        PyErr_SetExcInfo(type_.release(), value_.release(), traceback_.release());
#endif
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
