// Skipping the log calls that the standard logger would drop at once.
//
// A call of a Python method from C costs more than the few attribute reads that tell whether
// Logger.debug/info/warning/error would return without doing anything. The answer is trusted only
// for exactly the standard logging.Logger class, unmodified since it was checked, with nothing on
// the instance shadowing the methods involved; anything else, or any doubt, makes the call.
//
// Every read goes through ordinary attribute access, so the logger's attributes stay in the
// instance's own storage: asking for the instance dictionary would make CPython create one, and
// the logger's later attribute reads (the host's among them) would take a slower path.
#include <cstdint>

#include "bridge.hpp"

namespace telegram_bridge {

namespace {

const Name logging_module("logging"), logger_class("Logger"), is_enabled_for("isEnabledFor"),
    disabled("disabled"), level_cache("_cache"), code("__code__"), qualified_name("co_qualname");
constexpr std::size_t level_count = 4;  // debug, info, warning, error
const Name methods[level_count] = {Name("debug"), Name("info"), Name("warning"), Name("error")};
const char* const qualified_methods[level_count] = {"Logger.debug", "Logger.info", "Logger.warning",
                                                    "Logger.error"};
// The globals of logging each method passes to isEnabledFor.
const Name level_names[level_count] = {Name("DEBUG"), Name("INFO"), Name("WARNING"), Name("ERROR")};

// What the last check of a logger class found. Nothing is owned: the pointers are compared with
// live objects, or used, only while the class still carries the version tag it had when checked
// (any change to the class or its bases replaces the tag, and a tag is not reused within an
// interpreter), so the functions in its namespace, and the module dictionary they run in, are
// alive. A new interpreter (a new generation) checks again.
struct CheckedClass {
  PyTypeObject* type = nullptr;
  unsigned int tag = 0;
  std::uint32_t generation = 0;
  bool standard = false;
  PyObject* logging_dict = nullptr;  // where the methods read the level constants
  PyObject* methods[level_count] = {};
  PyObject* is_enabled_for = nullptr;
};
CheckedClass checked;

// `object.name`, or an empty Ref when it has no such attribute.
Ref optional_attribute(Borrowed object, Borrowed name) {
  PyObject* value = nullptr;
  pyrt::require(PyObject_GetOptionalAttr(object.get(), name.get(), &value));
  return Ref::steal(value);
}

// The value under `key` of an exact dict, or an empty Ref.
Ref item(PyObject* dict, Borrowed key) {
  PyObject* value = nullptr;
  pyrt::require(PyDict_GetItemRef(dict, key.get(), &value));
  return Ref::steal(value);
}

// `type`'s function `name`, when it is the plain function logging defined under that name.
PyObject* logging_function(Borrowed type, Borrowed name, const char* qualified,
                           PyObject* logging_dict) {
  Ref function = optional_attribute(type, name);
  if (!function || !PyFunction_Check(function.get()) ||
      PyFunction_GetGlobals(function.get()) != logging_dict) {
    return nullptr;
  }
  Ref function_code = optional_attribute(function, code);
  Ref code_name = function_code ? optional_attribute(function_code, qualified_name) : Ref();
  if (!code_name || !PyUnicode_Check(code_name.get()) ||
      PyUnicode_CompareWithASCIIString(code_name.get(), qualified) != 0) {
    return nullptr;
  }
  return function.get();  // kept alive by the class, see CheckedClass
}

// Whether `type` is the standard logging.Logger: the class the imported logging module names
// Logger, plain attribute access, the methods as logging defines them, and no class attribute
// that would stand in for the instance state isEnabledFor reads.
CheckedClass check_class(PyTypeObject* type) {
  CheckedClass result;
  result.type = type;
  result.generation = pyrt::detail::interpreter_generation;
  if (PyUnstable_Type_AssignVersionTag(type) == 0) return result;  // no tag: never trusted
  result.tag = type->tp_version_tag;
  Ref logging = Ref::steal(PyImport_GetModule(logging_module.get().get()));
  if (!logging) {
    if (PyErr_Occurred() != nullptr) pyrt::throw_error();
    return result;
  }
  Borrowed type_object(reinterpret_cast<PyObject*>(type));
  if (!PyModule_CheckExact(logging.get()) ||
      !optional_attribute(logging, logger_class).is(type_object) ||
      type->tp_getattro != PyObject_GenericGetAttr ||
      (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) == 0 ||
      optional_attribute(type_object, disabled) || optional_attribute(type_object, level_cache)) {
    return result;
  }
  PyObject* logging_dict = PyModule_GetDict(logging.get());
  for (std::size_t index = 0; index < level_count; ++index) {
    result.methods[index] =
        logging_function(type_object, methods[index], qualified_methods[index], logging_dict);
    if (result.methods[index] == nullptr) return result;
  }
  result.is_enabled_for =
      logging_function(type_object, is_enabled_for, "Logger.isEnabledFor", logging_dict);
  if (result.is_enabled_for == nullptr) return result;
  // The lookups above may have run code that changed the class.
  if (type->tp_version_tag != result.tag) {
    result.tag = 0;
    return result;
  }
  result.logging_dict = logging_dict;
  result.standard = true;
  return result;
}

// Whether `logger.name` is the class's `function` bound to `logger`: nothing on the instance
// shadows it.
bool own_method(Borrowed logger, Borrowed name, PyObject* function) {
  Ref bound = optional_attribute(logger, name);
  return bound && PyMethod_Check(bound.get()) && PyMethod_GET_FUNCTION(bound.get()) == function &&
         PyMethod_GET_SELF(bound.get()) == logger.get();
}

}  // namespace

bool dropped_by_standard_logger(Borrowed logger, Level level) {
  if (level == Level::exception) return false;
  auto index = static_cast<std::size_t>(level);
  // A level the check last found enabled is called without checking, except every
  // `recheck_interval`-th time: making the call is always right, and at that level the check
  // would only add its cost.
  constexpr std::uint8_t recheck_interval = 16;
  static std::uint8_t unchecked_calls[level_count] = {};
  if (unchecked_calls[index] != 0) {
    unchecked_calls[index] =
        static_cast<std::uint8_t>((unchecked_calls[index] + 1) % recheck_interval);
    return false;
  }
  PyTypeObject* type = logger.type();
  if (type != checked.type || checked.tag == 0 || type->tp_version_tag != checked.tag ||
      checked.generation != pyrt::detail::interpreter_generation) [[unlikely]] {
    checked = check_class(type);
  }
  if (!checked.standard) return false;
  // isEnabledFor(<level constant>) is False: the level cache (not public API: missing, of another
  // type or without the level, the call is made) holds False for the level and disabled is False.
  // With logging's own class and methods none of these reads runs Python code.
  Ref level_number = item(checked.logging_dict, level_names[index]);
  if (!level_number || !PyLong_CheckExact(level_number.get())) return false;
  Ref cache = optional_attribute(logger, level_cache);
  if (!cache || !PyDict_CheckExact(cache.get())) return false;
  Ref enabled = item(cache.get(), level_number);
  if (!enabled.is(Borrowed(Py_False))) {
    if (enabled.is(Borrowed(Py_True))) unchecked_calls[index] = 1;
    return false;
  }
  // Not disabled, and nothing on the instance stands in for the level method or isEnabledFor.
  return optional_attribute(logger, disabled).is(Borrowed(Py_False)) &&
         own_method(logger, methods[index], checked.methods[index]) &&
         own_method(logger, is_enabled_for, checked.is_enabled_for) &&
         type->tp_version_tag == checked.tag;
}

}  // namespace telegram_bridge
