// Node access and the handful of interpreter idioms the methods share:
// global look-up, print, f-string style formatting and `except` blocks.
#pragma once

#include <initializer_list>

#include "access/method.hpp"

namespace tavrocam {

// self._cam.<node>   (new reference, or NULL with the error set)
PyObject* node_of(PyObject* self, PyObject* node);
// self._cam.<node>.<op>()
PyObject* node_call(PyObject* self, PyObject* node, PyObject* op);
// self._cam.<node>.SetValue(value), its result dropped. 0, or -1 with the error set.
int node_set(PyObject* self, PyObject* node, PyObject* value);

// A global name as a function body sees it: the namespace, then the builtins.
// NameError when neither has it.
PyObject* load_global(PyObject* globals, PyObject* name);

// print(text), with `print` looked up as a global. 0, or -1 with the error set.
int print_line(PyObject* globals, PyObject* text);

// The concatenation of the pieces, each converted as an f-string field
// with no format given converts it (str pieces stay as they are).
PyObject* join_formatted(std::initializer_list<PyObject*> pieces);

// print(<pieces joined as above>)
int print_joined(PyObject* globals, std::initializer_list<PyObject*> pieces);

// The body of `except ...:` for the exception that is currently set. While it
// lives the exception is the one being handled (sys.exc_info() shows it, and
// an exception raised meanwhile gets it as __context__); on destruction the
// previous state is back and the exception is dropped unless reraise() put it
// back in flight.
class Handling {
public:
    Handling();
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    PyObject* exception() const { return value_; }
    // Raises the handled exception again (the end of a `finally` block).
    void reraise();

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_traceback_ = nullptr;
};

// True when the exception in flight derives from Exception: what a handler
// for `Exception` catches.
inline bool ordinary_failure() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// _FeatureBase.__init__(self, cam)
PyObject* feature_base_init(MethodObject* method, PyObject* const* args);

}  // namespace tavrocam
