// Benchmark-only module: calls a Python method from C the way the bridge calls its host, so that
// bench/entry_cost.py can set the price of each entry into the interpreter against the same call
// made inline by Python bytecode.
//
//   call_method(obj, name, arg, n)      n times obj.name(arg), the result dropped
//   call_and_drive(obj, name, arg, n)   n times obj.name(arg) -> a coroutine, driven to its end
//                                       with one send(None); it must not suspend
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pyrt/call.hpp"

namespace {

using pyrt::Borrowed;
using pyrt::Ref;

struct Arguments {
  Borrowed object{nullptr}, name{nullptr}, argument{nullptr};
  Py_ssize_t count = 0;
};

Arguments parse(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 || !PyUnicode_Check(args[1])) {
    throw pyrt::PyError::format(PyExc_TypeError, "expected (object, name: str, argument, count)");
  }
  Py_ssize_t count = PyLong_AsSsize_t(args[3]);
  if (count == -1 && PyErr_Occurred()) pyrt::throw_error();
  return {Borrowed(args[0]), Borrowed(args[1]), Borrowed(args[2]), count};
}

PyObject* call_method(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return pyrt::boundary(
      [&]() -> PyObject* {
        Arguments call = parse(args, nargs);
        for (Py_ssize_t i = 0; i < call.count; ++i) {
          Ref result = pyrt::call_method(call.object, call.name, call.argument);
        }
        return Py_NewRef(Py_None);
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* call_and_drive(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return pyrt::boundary(
      [&]() -> PyObject* {
        Arguments call = parse(args, nargs);
        for (Py_ssize_t i = 0; i < call.count; ++i) {
          Ref coroutine = pyrt::call_method(call.object, call.name, call.argument);
          PyObject* step = nullptr;
          PySendResult status = PyIter_Send(coroutine.get(), Py_None, &step);
          Ref owned = Ref::steal(step);
          if (status == PYGEN_ERROR) pyrt::throw_error();
          if (status == PYGEN_NEXT) {
            throw pyrt::PyError::format(PyExc_RuntimeError, "the coroutine suspended");
          }
        }
        return Py_NewRef(Py_None);
      },
      static_cast<PyObject*>(nullptr));
}

PyMethodDef methods[] = {
    {"call_method", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_method)),
     METH_FASTCALL, "n times obj.name(arg) from C."},
    {"call_and_drive", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_and_drive)),
     METH_FASTCALL, "n times obj.name(arg) from C, each coroutine driven to its end."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_entry_cost_benchmod",
    nullptr,
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__entry_cost_benchmod() {  // NOLINT(bugprone-reserved-identifier)
  return PyModuleDef_Init(&module_def);
}
