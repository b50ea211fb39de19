# The CPython versions the extension is tested on. find_package(Python) asks
# for 3.10 or newer with no upper bound (the code uses the public C API only),
# so a newer CPython builds, with a warning that it is untested.
set(TAVROCAM_PYTHON_TESTED_MIN 3.10)
set(TAVROCAM_PYTHON_TESTED_MAX 3.15)

# Warns when VERSION (e.g. 3.16.0) is newer than every tested version.
function(tavrocam_check_python_version version)
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" minor "${version}")
  if(minor VERSION_GREATER TAVROCAM_PYTHON_TESTED_MAX)
    message(WARNING
      "CPython ${version} is newer than the versions Tavrocam is tested on "
      "(${TAVROCAM_PYTHON_TESTED_MIN} to ${TAVROCAM_PYTHON_TESTED_MAX}); building it anyway.")
  endif()
endfunction()
