// The settings report, run as the last step of module execution when the
// module runs as the main program.
#pragma once

#include "access/ref.hpp"

namespace tavrocam {

// Runs the report in the module namespace `globals`. 0, or -1 with the
// exception that escaped it set.
int run_settings_report(PyObject* globals);

}  // namespace tavrocam
