// The module definition, its init export and the execution step that imports
// the SDK and builds the class tree.
#include <cstdlib>
#include <cstring>

#include "access/camera.hpp"
#include "access/method.hpp"
#include "access/names.hpp"
#include "features/groups.hpp"
#include "module/report.hpp"

namespace tavrocam {
namespace {

// Constants shared by every execution in the process.
int prepare_constants() {
    static bool ready = false;
    if (ready) {
        return 0;
    }
    if (names::prepare_names() < 0 || prepare_method_type() < 0 || prepare_camera_methods() < 0 ||
        prepare_groups() < 0) {
        return -1;
    }
    ready = true;
    return 0;
}

// from pypylon import pylon
PyObject* import_pylon(PyObject* globals) {
    Ref fromlist(PyTuple_Pack(1, names::pylon));
    if (!fromlist) {
        return nullptr;
    }
    Ref package(PyImport_ImportModuleLevelObject(names::pypylon, globals, nullptr, fromlist.get(), 0));
    if (!package) {
        return nullptr;
    }
    PyObject* pylon = nullptr;
    if (_PyObject_LookupAttr(package.get(), names::pylon, &pylon) != 0) {
        return pylon;  // found, or an error other than AttributeError
    }
    // As a from-import does: fall back to the submodule of that name.
    if (PyModule_Check(package.get())) {
        PyObject* pkgname = PyModule_GetNameObject(package.get());
        if (pkgname == nullptr) {
            PyErr_Clear();
        } else {
            Ref fullname(PyUnicode_FromFormat("%U.%U", pkgname, names::pylon));
            Py_DECREF(pkgname);
            if (!fullname) {
                return nullptr;
            }
            PyObject* submodule = PyImport_Import(fullname.get());
            if (submodule != nullptr || !PyErr_ExceptionMatches(PyExc_ImportError)) {
                return submodule;
            }
            PyErr_Clear();
        }
    }
    PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", names::pylon,
                 names::pypylon);
    return nullptr;
}

// class <Group>(_FeatureBase): ... -- built as a class statement with one
// base builds it: metaclass type(base), a fresh namespace with __module__,
// __qualname__, the methods in order (and __classcell__ where one is needed).
PyObject* build_group(const GroupSpec& group, PyObject* base, PyObject* module_name, PyObject* globals) {
    Ref ns(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), names::dunder_module, module_name) < 0 ||
        PyDict_SetItem(ns.get(), names::dunder_qualname, group.py_qualname) < 0) {
        return nullptr;
    }
    Ref cell;
    if (group.class_cell) {
        cell = Ref(PyCell_New(nullptr));
        if (!cell) {
            return nullptr;
        }
    }
    for (std::size_t i = 0; i < group.count; ++i) {
        MethodSpec& row = group.methods[i];
        Ref fn(make_method(row, module_name, globals, cell.get()));
        if (!fn || PyDict_SetItem(ns.get(), row.py_name, fn.get()) < 0) {
            return nullptr;
        }
    }
    if (cell && PyDict_SetItem(ns.get(), names::dunder_classcell, cell.get()) < 0) {
        return nullptr;
    }
    Ref bases(PyTuple_Pack(1, base));
    if (!bases) {
        return nullptr;
    }
    PyObject* args[3] = {group.py_class_name, bases.get(), ns.get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(Py_TYPE(base)), args, 3, nullptr);
}

// class CLASS_Tavrocam: with _FeatureBase and the fourteen groups nested.
PyObject* build_class_tree(PyObject* globals) {
    PyObject* module_name = PyDict_GetItemWithError(globals, names::dunder_name);
    if (module_name == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", names::dunder_name);
        }
        return nullptr;
    }
    Ref keep_name = Ref::borrow(module_name);
    PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);

    Ref outer(PyDict_New());
    if (!outer || PyDict_SetItem(outer.get(), names::dunder_module, module_name) < 0 ||
        PyDict_SetItem(outer.get(), names::dunder_doc, names::class_doc) < 0 ||
        PyDict_SetItem(outer.get(), names::dunder_qualname, names::CLASS_Tavrocam) < 0) {
        return nullptr;
    }
    Ref init(make_method(kTavrocamInit, module_name, globals, nullptr));
    if (!init || PyDict_SetItem(outer.get(), names::dunder_init, init.get()) < 0) {
        return nullptr;
    }

    Ref base_ns(PyDict_New());
    Ref base_init(make_method(kFeatureBaseInit, module_name, globals, nullptr));
    if (!base_ns || !base_init || PyDict_SetItem(base_ns.get(), names::dunder_module, module_name) < 0 ||
        PyDict_SetItem(base_ns.get(), names::dunder_qualname, names::qual_FeatureBase) < 0 ||
        PyDict_SetItem(base_ns.get(), names::dunder_init, base_init.get()) < 0) {
        return nullptr;
    }
    Ref no_bases(PyTuple_New(0));
    if (!no_bases) {
        return nullptr;
    }
    PyObject* base_args[3] = {names::FeatureBase, no_bases.get(), base_ns.get()};
    Ref base(PyObject_Vectorcall(type, base_args, 3, nullptr));
    if (!base || PyDict_SetItem(outer.get(), names::FeatureBase, base.get()) < 0) {
        return nullptr;
    }

    for (std::size_t g = 0; g < kGroupCount; ++g) {
        const GroupSpec& group = *kGroups[g];
        // The base expression is evaluated in the class body being built.
        PyObject* base_now = PyDict_GetItemWithError(outer.get(), names::FeatureBase);
        if (base_now == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", names::FeatureBase);
            }
            return nullptr;
        }
        Ref cls(build_group(group, base_now, module_name, globals));
        if (!cls || PyDict_SetItem(outer.get(), group.py_class_name, cls.get()) < 0) {
            return nullptr;
        }
    }

    Ref close(make_method(kTavrocamClose, module_name, globals, nullptr));
    if (!close || PyDict_SetItem(outer.get(), names::close, close.get()) < 0) {
        return nullptr;
    }
    PyObject* args[3] = {names::CLASS_Tavrocam, no_bases.get(), outer.get()};
    return PyObject_Vectorcall(type, args, 3, nullptr);
}

// After a failed execution: a traceback entry for it, and no sys.modules
// entry left under the module's name.
void abandon(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* name = PyDict_GetItemWithError(globals, names::dunder_name);
    PyObject* file = PyDict_GetItemWithError(globals, names::dunder_file);
    PyErr_Clear();
    const char* where = file && PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : nullptr;
    if (where == nullptr) {
        PyErr_Clear();
        where = "Tavrocam";
    }
    PyObject* modules = PyImport_GetModuleDict();
    if (name != nullptr && modules != nullptr) {
        PyObject* entry = PyDict_GetItemWithError(modules, name);
        // Only our own entry: a module of another origin under that name
        // (the host's __main__, say) stays.
        if (entry == module && PyDict_DelItem(modules, name) < 0) {
            PyErr_Clear();
        }
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
    _PyTraceback_Add("<module>", where, 0);
}

int exec_module(PyObject* module) {
    if (prepare_constants() < 0) {
        abandon(module);
        return -1;
    }
    PyObject* globals = PyModule_GetDict(module);
    if (PyDict_SetItem(globals, names::dunder_doc, Py_None) < 0) {
        abandon(module);
        return -1;
    }
    Ref pylon(import_pylon(globals));
    if (!pylon || PyDict_SetItem(globals, names::pylon, pylon.get()) < 0) {
        abandon(module);
        return -1;
    }
    Ref cls(build_class_tree(globals));
    if (!cls || PyDict_SetItem(globals, names::CLASS_Tavrocam, cls.get()) < 0) {
        abandon(module);
        return -1;
    }
    PyObject* name = PyDict_GetItemWithError(globals, names::dunder_name);
    if (name == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", names::dunder_name);
        }
        abandon(module);
        return -1;
    }
    const int is_main = PyObject_RichCompareBool(name, names::dunder_main, Py_EQ);
    if (is_main < 0 || (is_main && run_settings_report(globals) < 0)) {
        abandon(module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "Tavrocam",  // m_name
    nullptr,     // m_doc
    0,           // m_size
    nullptr,     // m_methods
    slots,       // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

}  // namespace
}  // namespace tavrocam

PyMODINIT_FUNC PyInit_Tavrocam(void) {
    // Loaded inside a package, the definition carries the full dotted name.
    static char* qualified_name = nullptr;
    const char* context = _Py_PackageContext;
    if (context != nullptr && std::strcmp(context, "Tavrocam") != 0 &&
        (qualified_name == nullptr || std::strcmp(context, qualified_name) != 0)) {
        char* copy = static_cast<char*>(std::malloc(std::strlen(context) + 1));
        if (copy == nullptr) {
            return PyErr_NoMemory();
        }
        std::strcpy(copy, context);
        tavrocam::definition.m_name = copy;
        std::free(qualified_name);
        qualified_name = copy;
    }
    return PyModuleDef_Init(&tavrocam::definition);
}
