// Reading and writing the module namespace, at every use, so that a host that rebinds a name
// (`logger`, `asyncio`, ...) changes what the bridge uses; imports made in it.
#include "bridge.hpp"

namespace telegram_bridge {

Ref module_global(const Name& name, Where where) {
  PyObject* key = name.get().get();
  PyObject* value = nullptr;
  const int found = PyDict_GetItemRef(module_dict(where), key, &value);
  if (found < 0) pyrt::throw_error(where);
  if (found == 0) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    pyrt::throw_error(where);
  }
  return Ref::steal(value);
}

void set_module_global(Borrowed name, Borrowed value, Where where) {
  pyrt::require(PyDict_SetItem(module_dict(where), name.get(), value.get()), where);
}

Ref import_in_module(Borrowed module, Borrowed name, Borrowed fromlist, Where where) {
  return pyrt::import_from(module, name, fromlist, Borrowed(module_dict(where)), where);
}

}  // namespace telegram_bridge
