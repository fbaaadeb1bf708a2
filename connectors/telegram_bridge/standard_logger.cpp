// Skipping the log calls that the standard logger would drop at once.
//
// A call into a Python method from C costs far more than the few attribute reads that tell
// whether Logger.debug/info/warning/error would return without doing anything. The answer is
// trusted only for exactly the standard logging.Logger class, unmodified since it was checked,
// with nothing shadowing the methods on the instance; anything else, or any doubt, makes the call.
#include "bridge.hpp"

namespace telegram_bridge {

namespace {

const Name logger_class("Logger"), is_enabled_for("isEnabledFor"), disabled("disabled"),
    level_cache("_cache");
const Name methods[] = {Name("debug"), Name("info"), Name("warning"), Name("error")};
// The globals of logging each method passes to isEnabledFor, and their standard values.
const Name level_names[] = {Name("DEBUG"), Name("INFO"), Name("WARNING"), Name("ERROR")};
constexpr long level_numbers[] = {10, 20, 30, 40};

// What the last check of a logger class found. Nothing is owned: the pointers are compared with
// live objects and used only while the class still carries the version tag it had when checked
// (any change to the class or its bases replaces the tag, and tags are not reused within an
// interpreter), so the functions in its namespace, and the module dictionary they run in, are
// still alive.
struct CheckedClass {
  PyTypeObject* type = nullptr;
  unsigned int tag = 0;
  bool standard = false;
  PyObject* logging_dict = nullptr;  // where the class's methods read the level constants
};
CheckedClass checked;

// `object.name`, or an empty Ref when it has no such attribute.
Ref optional_attribute(Borrowed object, Borrowed name) {
  PyObject* value = nullptr;
  pyrt::require(PyObject_GetOptionalAttr(object.get(), name.get(), &value));
  return Ref::steal(value);
}

// Whether `type` is the standard logging.Logger: the class the module's `logging` names Logger,
// plain attribute access, the methods defined by logging itself, and no class attribute that would
// stand in for the instance state isEnabledFor reads.
CheckedClass check_class(PyTypeObject* type) {
  CheckedClass result;
  result.type = type;
  if (PyUnstable_Type_AssignVersionTag(type) == 0) return result;  // no tag: never trusted
  result.tag = type->tp_version_tag;
  Ref logging;
  try {
    logging = module_global(names::logging);
  } catch (PyError& error) {
    if (!error.matches(PyExc_NameError)) throw;
    return result;
  }
  if (!PyModule_CheckExact(logging.get())) return result;
  Borrowed type_object(reinterpret_cast<PyObject*>(type));
  if (!optional_attribute(logging, logger_class).is(type_object) ||
      type->tp_getattro != PyObject_GenericGetAttr) {
    return result;
  }
  PyObject* logging_dict = PyModule_GetDict(logging.get());
  auto own_function = [&](const Name& name) {
    Ref function = optional_attribute(type_object, name);
    return function && PyFunction_Check(function.get()) &&
           PyFunction_GetGlobals(function.get()) == logging_dict;
  };
  for (const Name& method : methods) {
    if (!own_function(method)) return result;
  }
  if (!own_function(is_enabled_for) || optional_attribute(type_object, disabled) ||
      optional_attribute(type_object, level_cache) ||
      (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) == 0) {
    return result;
  }
  // The lookups above may have run code that changed the class.
  if (type->tp_version_tag != result.tag) {
    result.tag = 0;
    return result;
  }
  result.logging_dict = logging_dict;
  result.standard = true;
  return result;
}

// The value under `key`, or an empty Ref.
Ref item(Borrowed dict, Borrowed key) {
  PyObject* value = nullptr;
  pyrt::require(PyDict_GetItemRef(dict.get(), key.get(), &value));
  return Ref::steal(value);
}

}  // namespace

void forget_checked_logger_class() noexcept {
  checked = CheckedClass();
}

bool dropped_by_standard_logger(Borrowed logger, Level level) {
  if (level == Level::exception) return false;
  auto index = static_cast<std::size_t>(level);
  PyTypeObject* type = logger.type();
  if (type != checked.type || checked.tag == 0 || type->tp_version_tag != checked.tag) {
    checked = check_class(type);
  }
  if (!checked.standard) return false;
  const CheckedClass trusted = checked;
  // The level the method passes: logging's own global, as the method reads it.
  Ref logging_dict = Ref::borrow(trusted.logging_dict);
  Ref expected = pyrt::require(PyLong_FromLong(level_numbers[index]));
  if (!item(logging_dict, level_names[index]).is(expected)) return false;
  // The class defines neither `disabled` nor `_cache`, and its methods are plain functions, so the
  // instance dictionary decides each name below: the per-level cache isEnabledFor fills on first
  // use (not public API: missing, of another type or without the level, the call is made), its
  // disabled flag, and nothing shadowing the two methods. The enabled case leaves at the cache.
  Ref instance_dict = pyrt::require(PyObject_GenericGetDict(logger.get(), nullptr));
  if (!PyDict_CheckExact(instance_dict.get())) return false;
  Ref cache = item(instance_dict, level_cache);
  if (!cache || !PyDict_CheckExact(cache.get()) || !item(cache, expected).is(Borrowed(Py_False)) ||
      !item(instance_dict, disabled).is(Borrowed(Py_False)) ||
      item(instance_dict, methods[index]) || item(instance_dict, is_enabled_for)) {
    return false;
  }
  // Nothing read above may have changed the class meanwhile.
  return type->tp_version_tag == trusted.tag;
}

}  // namespace telegram_bridge
