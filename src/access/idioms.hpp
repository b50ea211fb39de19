// The interpreter idioms the methods and the report share: global names as a
// function body sees them, print, f-string style formatting, `except` blocks
// and the traceback entry of a failed module execution.
#pragma once

#include <initializer_list>

#include "access/compat.hpp"
#include "access/constants.hpp"

namespace tavrocam {

// The namespaces a function body made in the module sees: the module's
// globals and the builtins that belong to them, and the module's constants
// (all borrowed).
struct Scope {
    PyObject* globals;
    PyObject* builtins;
    const Constants* constants;

    const Names& names() const { return constants->names; }
};

// mapping[key]; an absent key gives an empty handle with no error set.
Ref lookup_in(PyObject* mapping, PyObject* key);

// The builtins of a module namespace, as a function defined there gets them:
// its __builtins__ (a module's namespace when that is a module), or the
// interpreter's builtins when it has none.
Ref builtins_of(const Names& names, PyObject* globals);

// A global name: the module namespace, then its builtins. NameError when
// neither has it.
Ref load_global(const Scope& scope, PyObject* name);

// print(text), `print` looked up as a global.
Status print_line(const Scope& scope, PyObject* text);

// The concatenation of the pieces, each converted as an f-string field with
// no format given converts it (str pieces stay as they are).
Ref join_formatted(const Names& names, std::initializer_list<PyObject*> pieces);

// print(<pieces joined as above>)
Status print_joined(const Scope& scope, std::initializer_list<PyObject*> pieces);

// The body of `except ...:` (or of `finally:` with an exception pending) for
// the exception in flight. While it lives that exception is the one being
// handled: sys.exc_info() shows it, and an exception raised meanwhile gets it
// as __context__. On destruction the previous state is back and the exception
// is dropped, unless reraise() has put it back in flight.
class Handling {
public:
    Handling() : exception_(compat::take_raised()) {
        if (exception_) {
            compat::HandledState::set(exception_.get());
        }
    }
    ~Handling() { previous_.restore(); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    PyObject* exception() const { return exception_.get(); }
    // Raises the handled exception again (the end of a `finally` block).
    void reraise() { compat::raise_again(Ref::retain(exception_.get())); }

private:
    compat::HandledState previous_;  // saved before the exception is taken
    Ref exception_;
};

// True when the exception in flight derives from Exception: what a handler
// for `Exception` catches.
inline bool ordinary_failure() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// Adds a traceback entry "<function>" in `file` to the exception in flight.
void add_traceback_entry(const char* file, const char* function);

}  // namespace tavrocam
