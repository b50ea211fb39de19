# The CPython versions the extension is tested on. find_package(Python) asks
# for 3.10 or newer with no upper bound, so a newer CPython builds, with a
# warning that it is untested.
#
# The code uses the public C API except for three private parts, all in
# src/access/compat.hpp:
# - the thread state's innermost exception-info entry (PyThreadState::exc_info,
#   a _PyErr_StackItem), read on every version to save the exception being
#   handled exactly as an `except` block does: the public API reads only the
#   topmost entry that is not empty, which may be a caller's. Writes go through
#   the public API (PyErr_SetHandledException from 3.11, PyErr_SetExcInfo in
#   3.10). A static_assert checks the layout of the thread state and of the
#   entry, and the signature of PyErr_SetHandledException, so a newer CPython
#   that changed them fails to build with a message naming HandledState;
# - _PyObject_LookupAttr before 3.13 (public there as PyObject_GetOptionalAttr):
#   hasattr()'s own look-up, which makes no AttributeError for an absent
#   attribute;
# - _Py_PackageContext before 3.12: the dotted name the interpreter loads the
#   module under (from 3.12 it is not read).
set(TAVROCAM_PYTHON_TESTED_MIN 3.10)
set(TAVROCAM_PYTHON_TESTED_MAX 3.15)

# Warns when VERSION (e.g. 3.16.0) is newer than every tested version.
function(tavrocam_check_python_version version)
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" minor "${version}")
  if(minor VERSION_GREATER TAVROCAM_PYTHON_TESTED_MAX)
    message(WARNING
      "CPython ${version} is newer than the versions Tavrocam is tested on "
      "(${TAVROCAM_PYTHON_TESTED_MIN} to ${TAVROCAM_PYTHON_TESTED_MAX}); building it anyway "
      "(the build stops if its thread state is not laid out as src/access/compat.hpp expects).")
  endif()
endfunction()
