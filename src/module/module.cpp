// The module definition, its init export and the execution step that imports
// the SDK and builds the class tree.
#include "access/camera.hpp"
#include "access/feature_base.hpp"
#include "access/names.hpp"
#include "features/groups.hpp"
#include "module/report.hpp"

namespace tavrocam {
namespace {

// What a module object keeps: its constants, made by its execution.
struct ModuleState {
    Constants constants;
};

ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The method type holds the module: the one cycle through the state.
int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    if (state != nullptr) {
        Py_VISIT(state->constants.method_type);
    }
    return 0;
}

// The strings and tuples stay until the memory goes: a method of the cycle
// being cleared may still read its row.
int module_clear(PyObject* module) {
    ModuleState* state = state_of(module);
    if (state != nullptr) {
        release_method_type(state->constants);
    }
    return 0;
}

void module_free(void* module) {
    ModuleState* state = state_of(static_cast<PyObject*>(module));
    if (state != nullptr) {
        release_constants(state->constants);
    }
}

// from pypylon import pylon
Ref import_pylon(const Names& names, PyObject* globals) {
    Ref fromlist = Ref::take(PyTuple_Pack(1, names.pylon));
    if (!fromlist) {
        return Ref();
    }
    Ref package = Ref::take(
        PyImport_ImportModuleLevelObject(names.pypylon, globals, nullptr, fromlist.get(), 0));
    if (!package) {
        return Ref();
    }
    Ref pylon;
    if (compat::lookup_optional(package.get(), names.pylon, pylon) != 0) {
        return pylon;  // found, or an error other than AttributeError
    }
    // As a from-import does: fall back to the submodule of that name.
    if (PyModule_Check(package.get())) {
        Ref package_name = Ref::take(PyModule_GetNameObject(package.get()));
        if (!package_name) {
            PyErr_Clear();
        } else {
            Ref fullname = Ref::take(PyUnicode_FromFormat("%U.%U", package_name.get(), names.pylon));
            if (!fullname) {
                return Ref();
            }
            Ref submodule = Ref::take(PyImport_Import(fullname.get()));
            if (submodule || !PyErr_ExceptionMatches(PyExc_ImportError)) {
                return submodule;
            }
            PyErr_Clear();
        }
    }
    PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", names.pylon,
                 names.pypylon);
    return Ref();
}

// What every class of the tree is made with.
struct TreeContext {
    PyObject* module_name;  // __module__ of classes and methods
    Scope scope;
};

// namespace[key] = value, for a namespace dict being filled.
Status put(PyObject* ns, PyObject* key, PyObject* value) { return PyDict_SetItem(ns, key, value); }

Status put_method(PyObject* ns, const MethodSpec& row, const RowConstants& row_constants,
                  const TreeContext& tree, PyObject* closure = nullptr) {
    Ref fn = make_method(row, row_constants, tree.module_name, tree.scope, closure);
    return fn ? put(ns, row_constants.name, fn.get()) : -1;
}

// metaclass(name, bases, namespace)
Ref make_class(PyObject* metaclass, PyObject* name, PyObject* bases, PyObject* ns) {
    PyObject* args[3] = {name, bases, ns};
    return Ref::take(PyObject_Vectorcall(metaclass, args, 3, nullptr));
}

// class <Group>(_FeatureBase): ... -- built as a class statement with one
// base builds it: metaclass type(base), a fresh namespace with __module__,
// __qualname__, the methods in order (and __classcell__ where one is needed).
Ref build_group(const GroupSpec& group, const GroupConstants& constants, PyObject* base,
                const TreeContext& tree) {
    const Names& names = tree.scope.names();
    Ref ns = Ref::take(PyDict_New());
    if (!ns || put(ns.get(), names.dunder_module, tree.module_name) < 0 ||
        put(ns.get(), names.dunder_qualname, constants.qualname) < 0) {
        return Ref();
    }
    Ref cell;
    if (group.class_cell && !(cell = Ref::take(PyCell_New(nullptr)))) {
        return Ref();
    }
    for (std::size_t i = 0; i < group.count; ++i) {
        if (put_method(ns.get(), group.methods[i], constants.rows[i], tree, cell.get()) < 0) {
            return Ref();
        }
    }
    if (cell && put(ns.get(), names.dunder_classcell, cell.get()) < 0) {
        return Ref();
    }
    Ref bases = Ref::take(PyTuple_Pack(1, base));
    if (!bases) {
        return Ref();
    }
    return make_class(reinterpret_cast<PyObject*>(Py_TYPE(base)), constants.class_name, bases.get(),
                      ns.get());
}

// ((class name, attribute), ...) of the groups in creation order: what the
// outer constructor creates on its camera.
Ref group_order(const GroupConstants* groups) {
    Ref order = Ref::take(PyTuple_New(static_cast<Py_ssize_t>(kGroupCount)));
    if (!order) {
        return Ref();
    }
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        Ref pair = Ref::take(PyTuple_Pack(2, groups[g].class_name, groups[g].attribute));
        if (!pair) {
            return Ref();
        }
        PyTuple_SET_ITEM(order.get(), static_cast<Py_ssize_t>(g), pair.release());
    }
    return order;
}

// class CLASS_Tavrocam: with _FeatureBase and the fourteen groups nested.
Ref build_class_tree(const Scope& scope) {
    const Constants& constants = *scope.constants;
    const Names& names = constants.names;
    Ref module_name = load_global(scope, names.dunder_name);
    if (!module_name) {
        return Ref();
    }
    const TreeContext tree{module_name.get(), scope};
    PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);

    Ref outer = Ref::take(PyDict_New());
    Ref groups = group_order(constants.groups);
    if (!outer || !groups || put(outer.get(), names.dunder_module, tree.module_name) < 0 ||
        put(outer.get(), names.dunder_doc, names.class_doc) < 0 ||
        put(outer.get(), names.dunder_qualname, names.CLASS_Tavrocam) < 0 ||
        put_method(outer.get(), kTavrocamInit, constants.tavrocam_init, tree, groups.get()) < 0) {
        return Ref();
    }

    Ref base_ns = Ref::take(PyDict_New());
    Ref no_bases = Ref::take(PyTuple_New(0));
    if (!base_ns || !no_bases || put(base_ns.get(), names.dunder_module, tree.module_name) < 0 ||
        put(base_ns.get(), names.dunder_qualname, names.qual_FeatureBase) < 0 ||
        put_method(base_ns.get(), kFeatureBaseInit, constants.feature_base_init, tree) < 0) {
        return Ref();
    }
    Ref base = make_class(type, names.FeatureBase, no_bases.get(), base_ns.get());
    if (!base || put(outer.get(), names.FeatureBase, base.get()) < 0) {
        return Ref();
    }
    base.reset();

    for (std::size_t g = 0; g < kGroupCount; ++g) {
        // The base expression is evaluated in the class body being built.
        Ref base_now = lookup_in(outer.get(), names.FeatureBase);
        if (!base_now) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.FeatureBase);
            }
            return Ref();
        }
        Ref cls = build_group(*kGroups[g], constants.groups[g], base_now.get(), tree);
        if (!cls || put(outer.get(), constants.groups[g].class_name, cls.get()) < 0) {
            return Ref();
        }
    }

    if (put_method(outer.get(), kTavrocamClose, constants.tavrocam_close, tree) < 0) {
        return Ref();
    }
    return make_class(type, names.CLASS_Tavrocam, no_bases.get(), outer.get());
}

// After a failed execution: no sys.modules entry left under the module's
// name, and a traceback entry for the execution. Works without the module's
// own constants, which may be what failed.
void abandon(PyObject* module) {
    Ref file;
    const char* where = nullptr;
    {
        Handling pending;
        Ref name = Ref::take(PyModule_GetNameObject(module));
        PyObject* modules = PyImport_GetModuleDict();
        if (name && modules != nullptr) {
            Ref entry = lookup_in(modules, name.get());
            // Only our own entry: a module of another origin under that name
            // (the host's __main__, say) stays.
            if (entry.get() == module && PyDict_DelItem(modules, name.get()) < 0) {
                PyErr_Clear();
            }
        }
        file = Ref::take(PyModule_GetFilenameObject(module));
        where = file ? PyUnicode_AsUTF8(file.get()) : nullptr;  // lives as long as `file`
        PyErr_Clear();
        pending.reraise();
    }
    add_traceback_entry(where ? where : "Tavrocam", "<module>");
}

// The import system of 3.12 on refuses the module in an isolated
// subinterpreter by itself (the definition's slots say so); this refuses it
// in any other one, in the same words.
Status refuse_subinterpreter(PyObject* module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        return 0;
    }
    Ref name = Ref::take(PyModule_GetNameObject(module));
    if (name) {
        PyErr_Format(PyExc_ImportError, "module %U does not support loading in subinterpreters",
                     name.get());
    }
    return -1;
}

Status execute(PyObject* module) {
    if (refuse_subinterpreter(module) < 0) {
        return -1;
    }
    ModuleState* state = state_of(module);
    if (state == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "Tavrocam: the module object has no state");
        }
        return -1;
    }
    if (make_constants(module, state->constants) < 0) {
        return -1;
    }
    const Names& names = state->constants.names;
    PyObject* globals = PyModule_GetDict(module);  // lives as long as the module
    if (PyDict_SetItem(globals, names.dunder_doc, Py_None) < 0) {
        return -1;
    }
    Ref builtins = builtins_of(names, globals);
    if (!builtins) {
        return -1;
    }
    const Scope scope{globals, builtins.get(), &state->constants};
    Ref pylon = import_pylon(names, globals);
    if (!pylon || PyDict_SetItem(globals, names.pylon, pylon.get()) < 0) {
        return -1;
    }
    Ref cls = build_class_tree(scope);
    if (!cls || PyDict_SetItem(globals, names.CLASS_Tavrocam, cls.get()) < 0) {
        return -1;
    }
    Ref name = load_global(scope, names.dunder_name);
    if (!name) {
        return -1;
    }
    const int is_main = PyObject_RichCompareBool(name.get(), names.dunder_main, Py_EQ);
    if (is_main < 0 || (is_main && run_settings_report(scope) < 0)) {
        return -1;
    }
    return 0;
}

int exec_module(PyObject* module) {
    if (execute(module) < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "Tavrocam: execution failed without an exception");
        }
        abandon(module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    compat::main_interpreter_only_slot,
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "Tavrocam",           // m_name
    nullptr,              // m_doc
    sizeof(ModuleState),  // m_size
    nullptr,              // m_methods
    slots,                // m_slots
    module_traverse,      // m_traverse
    module_clear,         // m_clear
    module_free,          // m_free
};

}  // namespace

Status make_constants(PyObject* module, Constants& constants) {
    if (make_names(constants.names) < 0) {
        return -1;
    }
    const Names& names = constants.names;
    Ref type = make_method_type(module);
    if (!type) {
        return -1;
    }
    constants.method_type = reinterpret_cast<PyTypeObject*>(type.release());
    if (make_row(kTavrocamInit, "CLASS_Tavrocam", names, constants.tavrocam_init) < 0 ||
        make_row(kTavrocamClose, "CLASS_Tavrocam", names, constants.tavrocam_close) < 0 ||
        make_row(kFeatureBaseInit, "CLASS_Tavrocam._FeatureBase", names,
                 constants.feature_base_init) < 0 ||
        make_groups(names, constants.groups) < 0 || make_report(constants.report) < 0) {
        return -1;
    }
    return 0;
}

void release_method_type(Constants& constants) { Py_CLEAR(constants.method_type); }

void release_constants(Constants& constants) {
    release_report(constants.report);
    release_groups(constants.groups);
    release_row(constants.feature_base_init);
    release_row(constants.tavrocam_close);
    release_row(constants.tavrocam_init);
    release_method_type(constants);
    release_names(constants.names);
}

}  // namespace tavrocam

PyMODINIT_FUNC PyInit_Tavrocam(void) { return PyModuleDef_Init(&tavrocam::definition); }
