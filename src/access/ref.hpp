// The owning handle. Every internal function that hands back a new reference
// returns a Ref, so ownership shows in its signature; a raw PyObject* is
// always borrowed and leaves as a result only at the interpreter's boundary
// (type slots, the method type's vectorcall), which releases the handle.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tavrocam {

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a new reference: the result of a C API call that returns
    // one (NULL stays an empty handle).
    static Ref take(PyObject* new_reference) noexcept { return Ref(new_reference); }
    // Adds a reference to a borrowed pointer and owns that one.
    static Ref retain(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference over (to the interpreter, or to a longer-lived owner).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    PyObject* p_ = nullptr;
};

// Status of a C API call: 0, or -1 with the error set.
using Status = int;

inline Ref none() { return Ref::retain(Py_None); }

// obj.name(), looked up and called as the interpreter does for a method call.
inline Ref call_method0(PyObject* obj, PyObject* name) {
    PyObject* args[1] = {obj};
    return Ref::take(
        PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(arg)
inline Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* args[2] = {obj, arg};
    return Ref::take(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(arg)
inline Ref call1(PyObject* callable, PyObject* arg) {
    return Ref::take(PyObject_CallOneArg(callable, arg));
}

// obj.name
inline Ref attr(PyObject* obj, PyObject* name) { return Ref::take(PyObject_GetAttr(obj, name)); }

// A call's result dropped, as a status.
inline Status dropped(const Ref& result) { return result ? 0 : -1; }

}  // namespace tavrocam
