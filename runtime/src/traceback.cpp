// Traceback entries for the functions written with the runtime: one per function that an
// exception passes through, as the interpreter adds one per Python frame. Public C API only: an
// empty code object named after the function, whose first line is the line where the error arose
// in it, and a frame that runs it. They are made only once an error has happened.
#include <string>

#include "internal.hpp"
// After Python.h (through internal.hpp), which it needs.
#include <frameobject.h>

namespace pyrt {

namespace {

// Adds the entry `name` at the error's site (else at the fallback location) to `error`, unless
// it already carries the entry of `activation`. A failure to make the entry leaves the error as
// it was.
void add_entry(PyError& error, const char* name, const char* fallback_file, int fallback_line,
               Borrowed globals, const void* activation) noexcept {
  if (error.entry_owner() == activation) return;
  // Closing a frame: the exception is swallowed by close() and never shown.
  if (error.matches(PyExc_GeneratorExit)) return;
  error.set_entry_owner(activation);
  const Where& site = error.site();
  bool located = site.line() != 0;
  PyObject* saved = PyErr_GetRaisedException();
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(located ? site.file_name() : fallback_file, name,
                      located ? static_cast<int>(site.line()) : fallback_line)));
  Ref frame_globals =
      globals && PyDict_Check(globals.get()) ? Ref::borrow(globals) : Ref::steal(PyDict_New());
  Ref frame;
  if (code && frame_globals) {
    frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    frame_globals.get(), nullptr)));
  }
  if (frame) {
    PyErr_SetRaisedException(Py_NewRef(error.value().get()));
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
  }
  PyErr_Clear();  // the exception itself (with its entry), or why no entry could be made
  PyErr_SetRaisedException(saved);
}

}  // namespace

void add_function_entry(PyError& error, FunctionObject* function, const void* activation) noexcept {
  const char* name = PyUnicode_AsUTF8(function->f.qualname.get());
  if (name == nullptr) {
    PyErr_Clear();
    return;
  }
  const FunctionSpec& spec = *function->f.spec;
  add_entry(error, name, spec.source_file, spec.source_line, function->f.globals, activation);
}

namespace detail {

void add_traceback_entry(PyError& error, const PromiseBase& promise) noexcept {
  CoroObject* owner = promise.owner;
  if (owner == nullptr) return;
  // A step is named after the function body that defines it, whichever coroutine runs it. A
  // function's body run directly carries the entry it has when its own coroutine runs it.
  const PromiseBase& body =
      promise.step_name != nullptr && promise.defined_in != nullptr ? *promise.defined_in : promise;
  auto* function = reinterpret_cast<FunctionObject*>(
      body.entry_function != nullptr ? body.entry_function : owner->f.function.get());
  const char* qualname = PyUnicode_AsUTF8(
      body.entry_function != nullptr ? function->f.qualname.get() : owner->f.qualname.get());
  if (qualname == nullptr) {
    PyErr_Clear();
    return;
  }
  std::string name(qualname);
  if (promise.step_name != nullptr) {
    name += '.';
    name += promise.step_name;
  }
  add_entry(error, name.c_str(), promise.origin.file_name(),
            static_cast<int>(promise.origin.line()),
            function != nullptr ? function->f.globals : Ref(), &promise);
}

}  // namespace detail

}  // namespace pyrt
