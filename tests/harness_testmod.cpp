// Test-only module: reports how the project's extension modules are compiled (they all share the
// same settings), so the suite can tell that a debug-interpreter build really is a debug build.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* counts_references(PyObject*, PyObject*) {
#ifdef Py_REF_DEBUG
  Py_RETURN_TRUE;
#else
  Py_RETURN_FALSE;
#endif
}

PyMethodDef methods[] = {
    {"counts_references", counts_references, METH_NOARGS,
     "Whether this build's reference counting updates sys.gettotalrefcount()."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_harness_testmod",
    nullptr,
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The interpreter looks the module up by this name.
PyMODINIT_FUNC PyInit__harness_testmod() {  // NOLINT(bugprone-reserved-identifier)
  return PyModuleDef_Init(&module_def);
}
