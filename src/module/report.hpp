// The settings report, run as the last step of module execution when the
// module runs as the main program.
#pragma once

#include "access/idioms.hpp"

namespace tavrocam {

// Makes the report's per-interpreter constants, all or none.
Status prepare_report();

// Releases them (or forgets them untouched, for a finished interpreter).
void drop_report(Drop how);

// Runs the report in the module's scope. 0, or -1 with the exception that
// escaped it set.
Status run_settings_report(const Scope& scope);

}  // namespace tavrocam
