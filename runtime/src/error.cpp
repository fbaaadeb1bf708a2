#include "pyrt/error.hpp"

#include <cstdio>
#include <cstdlib>

namespace pyrt {

PyError PyError::fetch() noexcept {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    raised = PyErr_GetRaisedException();
  }
  return PyError(Ref::steal(raised));
}

PyError PyError::format(PyObject* type, const char* message) noexcept {
  PyErr_SetString(type, message);
  return fetch();
}

#ifndef NDEBUG
void check_no_error_set() noexcept {
  if (PyErr_Occurred() == nullptr) return;
  std::fprintf(stderr, "pyrt: a C API call succeeded with an exception set:\n");
  PyErr_Print();
  std::abort();
}
#endif

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (PyError& error) {
    error.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    // Only PyError and bad_alloc are meant to reach a boundary; anything else is a bug.
#ifndef NDEBUG
    std::fprintf(stderr, "pyrt: unexpected C++ exception at the boundary: %s\n", error.what());
    std::abort();
#else
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
#endif
  } catch (...) {
#ifndef NDEBUG
    std::fprintf(stderr, "pyrt: unexpected C++ exception at the boundary\n");
    std::abort();
#else
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
#endif
  }
}

}  // namespace pyrt
