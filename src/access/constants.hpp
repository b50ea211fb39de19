// The constants of one module object: every str, tuple and the method type
// its class tree and its report use, made by the module's execution (module/
// module.cpp) and held in the module's state, as owned references. Each
// execution makes its own, the report's (run as __main__) included, and they
// go with the module object. A method object reaches them through its type,
// which holds the module; the hot path reads them through the pointers the
// method keeps, valid for as long as it holds that type.
#pragma once

#include <cstddef>

#include "access/names.hpp"

namespace tavrocam {

constexpr int kMaxParams = 3;                // self plus at most two
constexpr std::size_t kGroupCount = 14;      // the feature groups (features/catalogue.cpp)
constexpr std::size_t kReportLineCount = 5;  // the settings report's lines (module/report.cpp)

// What a row of the method tables needs as objects.
struct RowConstants {
    PyObject* name;
    PyObject* qualname;
    PyObject* node;  // the feature node of a plain getter or setter, or NULL
    PyObject* doc;
    PyObject* params[kMaxParams];
    PyObject* defaults;   // a tuple, or NULL for no defaults
    PyObject* signature;  // __text_signature__
};

struct GroupConstants {
    PyObject* class_name;
    PyObject* attribute;
    PyObject* qualname;
    RowConstants* rows;  // one per method of the group's table (interpreter memory)
};

struct ReportLineConstants {
    PyObject* label;
    PyObject* group;
    PyObject* getter;
    PyObject* unit;
};

struct Constants {
    Names names;
    PyTypeObject* method_type;  // made with the module, which it holds
    RowConstants tavrocam_init;
    RowConstants tavrocam_close;
    RowConstants feature_base_init;
    GroupConstants groups[kGroupCount];
    ReportLineConstants report[kReportLineCount];
};

// Makes every constant of `constants` (all NULL before) for `module`. 0, or
// -1 with the error set; what was made is released by release_constants().
Status make_constants(PyObject* module, Constants& constants);

// The method type's reference alone: the one constant that refers back to the
// module, dropped when the garbage collector breaks the cycle.
void release_method_type(Constants& constants);

// Releases every constant made.
void release_constants(Constants& constants);

}  // namespace tavrocam
