// Loading the module: into one interpreter, once; the namespace it fills; its definition.
#include <atomic>
#include <cstdint>
#include <span>

#include "bridge.hpp"

namespace telegram_bridge {

namespace {

// The module loads into one interpreter, once. That interpreter keeps the executed module
// (pyrt::detail::keep) and releases it while it finalises; the pointer here is valid while its
// generation is the current one. The interpreter's identifier is forgotten once it has
// finalised, so an embedding host that initialises Python again can import the module again.
std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* executed_module = nullptr;
std::uint32_t executed_generation = 0;

// Runs after the interpreter has finalised; the C API is gone.
void forget_interpreter() noexcept {
  recorded_interpreter = -1;
}

// The executed module of the current interpreter, or null.
PyObject* executed() noexcept {
  return executed_generation == pyrt::detail::interpreter_generation ? executed_module : nullptr;
}

const Name get_logger("getLogger"), pathlib("pathlib"), typing("typing");
const pyrt::KwNames path_fromlist("Path"), any_fromlist("Any");

}  // namespace

// The namespace of the module, for the operations; they run only while the module lives.
PyObject* module_dict(Where where) {
  PyObject* module = executed();
  if (module == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the module telegram_bridge is not loaded");
    pyrt::throw_error(where);
  }
  return PyModule_GetDict(module);
}

namespace {

constexpr const char* module_doc =
    "Telegram \u2194 Agent bridge \u2014 makes Telegram a full two-way interface to Kavori.\n"
    "\n"
    "Flow:\n"
    "  1. User sends message to the Telegram bot\n"
    "  2. Polling loop in TelegramConnector picks it up\n"
    "  3. This bridge receives it via the on_message callback\n"
    "  4. Sends an immediate \"thinking...\" indicator to Telegram\n"
    "  5. Routes it through the Standard Agent (same as WebSocket chat)\n"
    "  6. Collects the agent's text response events\n"
    "  7. Sends the response back to the user via Telegram\n"
    "  8. Also broadcasts events to WebSocket so the UI stays in sync\n"
    "  9. Screenshots and files generated during processing are sent as photos/docs\n"
    "\n"
    "The bridge processes messages sequentially via a queue to prevent\n"
    "concurrent agent calls from interfering with each other.\n";

constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
  return pyrt::boundary(
      [&]() -> PyObject* {
        std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter < 0) pyrt::throw_error();
        std::int64_t expected = -1;
        if (recorded_interpreter.compare_exchange_strong(expected, interpreter)) {
          // Once per interpreter lifetime, however many imports fail and are tried again: the
          // process has few exit-function slots.
          if (Py_AtExit(forget_interpreter) < 0) {
            recorded_interpreter = -1;
            throw PyError::format(PyExc_RuntimeError,
                                  "no room left for an interpreter exit function");
          }
        } else if (expected != interpreter) {
          throw PyError::format(PyExc_ImportError, interpreter_change);
        }
        if (PyObject* module = executed()) return Py_NewRef(module);
        Ref name = pyrt::getattr(Borrowed(spec), names::name);
        // __loader__, __file__, __package__ and __spec__ come from the import system, which sets
        // them from the spec on the module this returns.
        return pyrt::require(PyModule_NewObject(name.get())).release();
      },
      static_cast<PyObject*>(nullptr));
}

Ref make_class(Borrowed module_name_object) {
  Ref namespace_dict = pyrt::require(PyDict_New());
  pyrt::require(PyDict_SetItemString(namespace_dict.get(), "__module__", module_name_object.get()));
  Ref qualname = Ref::borrow(names::TelegramBridge);
  pyrt::require(PyDict_SetItemString(namespace_dict.get(), "__qualname__", qualname.get()));
  Ref doc =
      pyrt::string("Routes Telegram messages through the Kavori agent and sends responses back.");
  pyrt::require(PyDict_SetItemString(namespace_dict.get(), "__doc__", doc.get()));
  Borrowed globals(module_dict(Where::current()));
  for (const Operation& operation : std::span(operations, operation_count)) {
    const pyrt::FunctionSpec& spec = *operation.spec;
    Ref function = pyrt::make_function(spec, module_name_object, globals);
    if (operation.is_property) {
      function = pyrt::call(Borrowed(reinterpret_cast<PyObject*>(&PyProperty_Type)), function);
    }
    pyrt::require(PyDict_SetItemString(namespace_dict.get(), spec.name, function.get()));
  }
  Ref bases = pyrt::require(PyTuple_New(0));
  return pyrt::call(Borrowed(reinterpret_cast<PyObject*>(&PyType_Type)), qualname, bases,
                    namespace_dict);
}

void fill_namespace(Borrowed module) {
  const auto major = static_cast<int>(Py_Version >> 24);
  const auto minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
    pyrt::require(PyErr_WarnFormat(
        PyExc_RuntimeWarning, 1,
        "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
        PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", major, minor));
  }
  auto bind = [&](const Name& name, const Ref& value) {
    pyrt::require(PyModule_AddObjectRef(module.get(), name.text(), value.get()));
  };
  for (const Name* name : {&names::asyncio, &names::base64, &names::logging, &names::tempfile}) {
    bind(*name, pyrt::import(*name));
  }
  const Borrowed globals(PyModule_GetDict(module.get()));
  bind(names::Path, pyrt::import_from(pathlib, names::Path, path_fromlist, globals));
  bind(names::Any, pyrt::import_from(typing, names::Any, any_fromlist, globals));
  Ref module_name_object = pyrt::string(module_name);
  bind(names::logger,
       pyrt::call_method(module_global(names::logging), get_logger, module_name_object));
  pyrt::init_runtime(module_name);
  bind(names::TelegramBridge, make_class(module_name_object));
  bind(names::_bridge, Ref::none());
  bind(names::get_telegram_bridge, pyrt::make_function(get_telegram_bridge_spec, module_name_object,
                                                       Borrowed(PyModule_GetDict(module.get()))));
}

int exec_module(PyObject* module) noexcept {
  if (PyObject* remembered = executed()) {
    if (remembered == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'telegram_bridge' has already been imported. Re-initialisation is "
                    "not supported.");
    return -1;
  }
  // Remembered while the namespace fills (what runs meanwhile reads it), kept once filled.
  executed_module = module;
  executed_generation = pyrt::detail::interpreter_generation;
  int status = pyrt::boundary(
      [&] {
        fill_namespace(Borrowed(module));
        pyrt::detail::keep(Py_NewRef(module), Where::current());
        return 0;
      },
      -1);
  if (status < 0) executed_module = nullptr;  // a later import starts afresh
  return status;
}

// The module's state is per process, so it does not support several interpreters, and says so:
// the import system then refuses it in an isolated sub-interpreter (its own GIL) before anything
// of the module runs. A sub-interpreter of the legacy configuration is not checked by the import
// system; the creation step refuses it with its own message, before touching anything shared.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "telegram_bridge", module_doc, 0,       nullptr,
    module_slots,          nullptr,           nullptr,    nullptr,
};

}  // namespace

}  // namespace telegram_bridge

PyMODINIT_FUNC PyInit_telegram_bridge() {
  return PyModuleDef_Init(&telegram_bridge::module_definition);
}
