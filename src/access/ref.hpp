// Owned references and the few C API idioms every unit of the module shares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tavrocam {

// An owned (strong) reference. Move-only; releases what it holds when it goes
// out of scope, so every early return on an error path drops what it took.
// A raw PyObject* in this code base is always borrowed.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (the result of a C API call that returns one).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    // Makes an owned reference from a borrowed one.
    static Ref borrow(PyObject* borrowed) noexcept {
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
    // Hands the reference to the caller (for returning it to the interpreter).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// obj.name(), looked up and called as the interpreter does for a method call.
inline PyObject* call_method0(PyObject* obj, PyObject* name) {
    PyObject* args[1] = {obj};
    return PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// obj.name(arg)
inline PyObject* call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* args[2] = {obj, arg};
    return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Drops a new reference and turns it into a status: 0 when the call
// succeeded, -1 with the error set when it returned NULL.
inline int discard(PyObject* result) {
    if (result == nullptr) {
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

}  // namespace tavrocam
