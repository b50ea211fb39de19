// The settings report, run as the last step of module execution when the
// module runs as the main program.
#pragma once

#include "access/idioms.hpp"

namespace tavrocam {

// The objects of the report's lines, in `constants` (kReportLineCount of
// them). 0, or -1 with the error set; what was made is released by
// release_report().
Status make_report(ReportLineConstants* constants);
void release_report(ReportLineConstants* constants);

// Runs the report in the module's scope. 0, or -1 with the exception that
// escaped it set.
Status run_settings_report(const Scope& scope);

}  // namespace tavrocam
