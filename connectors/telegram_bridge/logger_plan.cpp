// Working out the logger plan (logger_plan.hpp) and checking that it still holds.
#include "logger_plan.hpp"

#include <algorithm>
#include <cassert>
#include <utility>

#include "pyrt/compat.hpp"
#include "pyrt/watch.hpp"

namespace telegram_bridge::logger_plan {

Plan current;

namespace {

using pyrt::compat::Entry;

const Name log_methods[] = {Name("debug"), Name("info"), Name("warning"), Name("error"),
                            Name("exception")};
const Name is_enabled_for("isEnabledFor"), make_record("makeRecord"), handle_record("handle");
const Name logger_class("Logger"), disabled("disabled"), code_qualname("co_qualname"),
    popitem("popitem");
const Name level_constants[] = {Name("DEBUG"), Name("INFO"), Name("WARNING"), Name("ERROR")};

const Name& relied_on_name(std::size_t index) {
  if (index < 5) return log_methods[index];
  if (index == is_enabled_for_index) return is_enabled_for;
  if (index == 6) return make_record;
  if (index == 7) return handle_record;
  return pyrt::compat::logging::private_methods()[index - 8];
}

// What the plan's snapshot of relied-on objects holds (and the one the self-check last agreed
// with), per interpreter lifetime: lists, refilled when a plan is made.
pyrt::detail::PerInterpreter planned_holder, agreed_holder;
std::array<ReliedOn, relied_on_count> agreed = {};

Borrowed holder(pyrt::detail::PerInterpreter& slot) {
  if (!slot.current()) {
    agreed = {};
    planned_holder.hold(PyList_New(0), Where::current());
    agreed_holder.hold(PyList_New(0), Where::current());
  }
  return slot.object();
}

// Makes `list` hold the objects of `snapshot` and `also` (its previous ones let go).
void hold(Borrowed list, const std::array<ReliedOn, relied_on_count>& snapshot,
          PyObject* also = Py_None) {
  Ref items = pyrt::require(PyList_New(0));
  pyrt::require(PyList_Append(items.get(), also));
  for (const ReliedOn& one : snapshot) {
    for (PyObject* object :
         {one.name, one.function, one.code, one.defaults, one.keyword_defaults}) {
      pyrt::require(PyList_Append(items.get(), object != nullptr ? object : Py_None));
    }
  }
  pyrt::require(PyList_SetSlice(list.get(), 0, PY_SSIZE_T_MAX, items.get()));
}

// What the lookup of `name` along the type's MRO finds first (a new reference; null when
// nothing). `failed` when a namespace cannot be read (the error cleared).
Ref find_in_type(PyTypeObject* type, PyObject* name, bool& failed) noexcept {
  PyObject* mro = type->tp_mro;
  failed = mro == nullptr || !PyTuple_Check(mro);
  for (Py_ssize_t i = 0; !failed && i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    Ref dict = PyType_Check(base)
                   ? Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)))
                   : Ref();
    PyObject* value = nullptr;
    failed = !dict || PyDict_GetItemRef(dict.get(), name, &value) < 0;
    if (value != nullptr) return Ref::steal(value);
  }
  if (failed) PyErr_Clear();
  return {};
}

// Watches the namespace of every class along `type`'s MRO that can change (an immutable class's
// cannot); false when one cannot be watched.
bool watch_namespaces(PyTypeObject* type) noexcept {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_Check(base)) return false;
    auto* base_type = reinterpret_cast<PyTypeObject*>(base);
    if (PyType_HasFeature(base_type, Py_TPFLAGS_IMMUTABLETYPE) != 0) continue;
    Ref dict = Ref::steal(PyType_GetDict(base_type));
    if (!dict) PyErr_Clear();
    if (!dict || !pyrt::watch_dict(dict.get())) return false;
  }
  return true;
}

// Whether `function` is logging's own Logger.<name>: defined in logging's namespace, under that
// name (not another of its methods put in its place).
bool is_logging_method(PyObject* function, const Name& name, PyObject* logging_dict) {
  if (function == nullptr || !PyFunction_Check(function) ||
      PyFunction_GetGlobals(function) != logging_dict) {
    return false;
  }
  Ref qualname =
      Ref::steal(PyObject_GetAttr(PyFunction_GetCode(function), code_qualname.get().get()));
  Ref expected = Ref::steal(PyUnicode_FromFormat("Logger.%s", name.text()));
  const bool same = qualname && expected && PyUnicode_Check(qualname.get()) &&
                    PyUnicode_Equal(qualname.get(), expected.get()) == 1;
  PyErr_Clear();
  return same;
}

// The value under `key` in `dict` (a new reference), null when missing or unreadable (the error
// cleared).
Ref dict_value(PyObject* dict, const Name& key) {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key.get().get(), &value) < 0) PyErr_Clear();
  return Ref::steal(value);
}

// Whether `logger`'s instance dict is still `watched`: a dict put in its place (`__dict__`
// assignment) is not watched, and the one it replaced reports nothing while someone keeps it.
bool has_instance_dict(PyObject* logger, PyObject* watched) noexcept {
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (!dict) PyErr_Clear();
  return dict.get() == watched;
}

// The dict last given the shape below (only compared: at worst it is given that shape again).
const PyObject* reshaped_dict = nullptr;

// Watching the logger's instance dict makes it, and the interpreter does not specialise attribute
// access on an instance whose dict was made from its inline attributes: logging's own methods
// would look every attribute of the logger up in full. popitem() turns such a dict into a plain
// one, which it does specialise; the item is put back at once, so the logger keeps the same dict
// with the same items in the same order (should that fail, an equal copy taken before takes the
// dict's place, and `dict` is set to it). Speed only: nothing rests on the shape.
void reshape_instance_dict(PyObject* logger, Ref& dict) {
  if (dict.get() == reshaped_dict) return;
  reshaped_dict = dict.get();
  Ref copy = Ref::steal(PyDict_Copy(dict.get()));
  Ref last = copy ? Ref::steal(PyObject_CallMethodNoArgs(dict.get(), popitem.get().get())) : Ref();
  if (!last) {  // nothing taken out
    PyErr_Clear();
    return;
  }
  // An exact dict's popitem() gives a (key, value) pair.
  assert(PyTuple_CheckExact(last.get()) && PyTuple_GET_SIZE(last.get()) == 2);
  if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(last.get(), 0),
                     PyTuple_GET_ITEM(last.get(), 1)) == 0) {
    return;
  }
  PyErr_Clear();
  if (PyObject_GenericSetDict(logger, copy.get(), nullptr) == 0) {
    dict = std::move(copy);
  } else {
    PyErr_Clear();
  }
}

// The plan's checks against logging's own methods (below).
enum class Check : std::uint8_t { agrees, differs, inconclusive };
Check records_agree(const std::array<Ref, 4>& levels);
Check cache_agrees(PyObject* logger, const Plan& plan, const std::array<Ref, 4>& levels);

// The private part of the plan: skip and emit from the logger's level cache, and whether records
// are located, from logging's namespace; false (nothing changed) when anything is unexpected.
bool plan_from_level_cache(Plan& found, PyObject* logging_dict, PyObject* dict,
                           const std::array<Ref, 4>& levels) {
  if (!pyrt::compat::may_go_private(Entry::logging_internals)) return false;
  const Name& level_cache = pyrt::compat::logging::level_cache();
  bool failed = false;
  for (const Name* name : {&disabled, &level_cache}) {  // instance attributes, nothing in the class
    if (find_in_type(found.type, name->get().get(), failed) || failed) return false;
  }
  const int located = pyrt::compat::logging::records_located(logging_dict);
  Ref flag = dict_value(dict, disabled);
  Ref cache = dict_value(dict, level_cache);
  if (located < 0 || (flag.get() != Py_True && flag.get() != Py_False) || !cache ||
      !PyDict_CheckExact(cache.get()) || !pyrt::watch_dict(cache.get())) {
    return false;
  }
  Plan planned = found;
  planned.located = located == 1;
  for (std::size_t level = 0; level < planned.routes.size(); ++level) {
    // `exception` logs at ERROR, through `error`.
    PyObject* number = levels[std::min(level, levels.size() - 1)].get();
    PyObject* enabled = nullptr;
    if (PyDict_GetItemRef(cache.get(), number, &enabled) < 0) PyErr_Clear();
    Py_XDECREF(enabled);  // only compared with True and False, which are immortal
    planned.routes[level] = flag.get() == Py_True || enabled == Py_False ? Route::skip
                            : enabled == Py_True                         ? Route::emit
                                                                         : Route::ask;
  }
  const Check check = cache_agrees(found.logger, planned, levels);
  if (check == Check::inconclusive ||
      !pyrt::compat::choose(Entry::logging_internals, check == Check::agrees)) {
    return false;
  }
  found = planned;
  return true;
}

}  // namespace

// Not noexcept: the names it looks up are made on first use, and that can fail like any call.
// Any other failure has its error cleared: the call that follows meets it again if it matters.
void make(PyObject* logger, std::uint64_t epoch, bool bound) {
  Plan found{};
  found.epoch = epoch;
  found.logger = logger;
  found.type = Py_TYPE(logger);
  found.bound = bound;
  auto decided = [&] {
    assert(!PyErr_Occurred());
    current = found;
  };
  Ref logging_module = Ref::steal(PyImport_GetModule(names::logging.get().get()));  // if imported
  if (!logging_module || !PyModule_Check(logging_module.get())) {
    PyErr_Clear();
    return decided();
  }
  PyObject* logging_dict = PyModule_GetDict(logging_module.get());
  if (!pyrt::watch_dict(logging_dict)) return decided();
  Ref standard = dict_value(logging_dict, logger_class);
  PyTypeObject* type = found.type;
  if (reinterpret_cast<PyObject*>(type) != standard.get() ||
      type->tp_getattro != PyObject_GenericGetAttr) {
    return decided();
  }
  // Watched before anything is read from them; the MRO, which no namespace holds, is compared.
  if (!watch_namespaces(type)) return decided();
  found.mro = type->tp_mro;
  bool failed = false;
  for (std::size_t i = 0; i < relied_on_count; ++i) {
    const Name& name = relied_on_name(i);
    Ref function = find_in_type(type, name.get().get(), failed);
    if (failed || !is_logging_method(function.get(), name, logging_dict)) return decided();
    PyObject* raw = function.get();
    found.relied_on[i] = {name.get().get(), raw, PyFunction_GetCode(raw),
                          PyFunction_GetDefaults(raw), PyFunction_GetKwDefaults(raw)};
  }
  found.parts.make_record = found.relied_on[6].function;
  found.parts.handle = found.relied_on[7].function;
  std::array<Ref, 4> levels;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    levels[i] = dict_value(logging_dict, level_constants[i]);
    if (!levels[i] || !PyLong_CheckExact(levels[i].get())) return decided();
    found.levels[i] = levels[i].get();  // borrowed from the watched namespace
  }
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (dict && PyDict_CheckExact(dict.get())) reshape_instance_dict(logger, dict);
  if (!dict || !PyDict_CheckExact(dict.get()) || !pyrt::watch_dict(dict.get())) {
    PyErr_Clear();
    return decided();
  }
  for (std::size_t i = 0; i < relied_on_count; ++i) {
    if (PyDict_Contains(dict.get(), found.relied_on[i].name) != 0) {
      PyErr_Clear();
      return decided();
    }
  }
  found.dict = dict.get();
  if (!find_in_type(type, names::name.get().get(), failed) && !failed) {
    // Borrowed: the watched instance dict holds it.
    found.parts.logger_name = dict_value(dict.get(), names::name).get();
  }
  hold(holder(planned_holder), found.relied_on, found.mro);
  // Checked at the first plan, and whenever what it relies on changed since it agreed.
  if (found.relied_on != agreed) {
    if (records_agree(levels) != Check::agrees) return decided();
    agreed = found.relied_on;
    hold(holder(agreed_holder), agreed);
  }
  found.routes.fill(Route::ask);
  plan_from_level_cache(found, logging_dict, dict.get(), levels);
  return decided();
}

bool fits(const Plan& plan, PyObject* logger, std::size_t index, std::uint64_t epoch) noexcept {
  if (plan.epoch != epoch || plan.logger != logger || Py_TYPE(logger) != plan.type) return false;
  const Route route = plan.routes[index];
  // For `ask`, what asking rests on: the rest is compared once a record is to be made.
  return route == Route::call ||
         (plan.type->tp_mro == plan.mro && has_instance_dict(logger, plan.dict) &&
          relied_on_holds(plan, index, route != Route::emit));
}

// Whether the functions a call at `index` (going on to make a record unless `dropping`) relies on
// are as planned: the same code and defaults (the watched namespace still holds the functions).
bool relied_on_holds(const Plan& plan, std::size_t index, bool dropping) noexcept {
  auto unchanged = [&](std::size_t i) {
    const ReliedOn& one = plan.relied_on[i];
    return one.function != nullptr && PyFunction_GET_CODE(one.function) == one.code &&
           PyFunction_GET_DEFAULTS(one.function) == one.defaults &&
           PyFunction_GET_KW_DEFAULTS(one.function) == one.keyword_defaults;
  };
  // The method itself (`exception` is the fifth) and isEnabledFor; the rest only for a record.
  if (!unchanged(std::min<std::size_t>(index, 4)) || !unchanged(is_enabled_for_index)) return false;
  for (std::size_t i = is_enabled_for_index + 1; !dropping && i < relied_on_count; ++i) {
    if (!unchanged(i)) return false;
  }
  return true;
}

namespace {

const Name check_logger_name("pyrt.compat.check"), append("append"), record_dict("__dict__");
// What two records of one call may differ in: where and when they were made.
const Name varying_fields[] = {Name("created"),  Name("msecs"),    Name("relativeCreated"),
                               Name("pathname"), Name("filename"), Name("module"),
                               Name("lineno"),   Name("funcName")};

// A record's attributes but where and when it was made.
Ref comparable(Borrowed record) {
  Ref fields = pyrt::require(PyDict_Copy(pyrt::getattr(record, record_dict).get()));
  for (const Name& name : varying_fields) {
    if (PyDict_DelItem(fields.get(), name.get().get()) < 0) pyrt::throw_error();
  }
  return fields;
}

// The check of the plan: on a scratch logger that enables every level, the records made the
// plan's way at each level equal, field by field but for where and when, those its own methods
// make (so the methods, `_log` and findCaller do what the plan does in their place, with the code
// and defaults they have now). Inconclusive when a method made no record or the check failed: it
// is made again at the next plan.
Check records_agree(const std::array<Ref, 4>& levels) {
  try {
    Ref logging_class = pyrt::getattr(module_global(names::logging), logger_class);
    Ref scratch = pyrt::call(logging_class, check_logger_name);
    Ref records = pyrt::require(PyList_New(0));
    // Both ways hand their record to `handle`: here, to the list.
    pyrt::setattr(scratch, handle_record, pyrt::getattr(records, append));
    pyrt::setattr(scratch, is_enabled_for, Borrowed(reinterpret_cast<PyObject*>(&PyBool_Type)));
    Ref message = pyrt::string("pyrt compat check");
    Ref failure = pyrt::call(Borrowed(PyExc_ValueError), message);
    pyrt::Handling handling{Borrowed(failure)};  // what `exception` attaches
    for (std::size_t index = 0; index < std::size(log_methods); ++index) {
      Borrowed number(levels[std::min(index, levels.size() - 1)].get());
      pyrt::call_method(scratch, log_methods[index], message);
      emit(scratch, static_cast<Level>(index), number, true, message, {}, Where::current());
    }
    const Py_ssize_t made = PyList_GET_SIZE(records.get());
    if (made != 2 * static_cast<Py_ssize_t>(std::size(log_methods))) return Check::inconclusive;
    for (Py_ssize_t i = 0; i < made; i += 2) {
      Ref theirs = comparable(Borrowed(PyList_GET_ITEM(records.get(), i)));
      Ref ours = comparable(Borrowed(PyList_GET_ITEM(records.get(), i + 1)));
      const int same = PyObject_RichCompareBool(theirs.get(), ours.get(), Py_EQ);
      if (same < 0) pyrt::throw_error();
      if (same == 0) return Check::differs;
    }
    return Check::agrees;
  } catch (PyError& error) {
    pyrt::exception_family(error);
    return Check::inconclusive;
  }
}

// The self-check of the private part (pyrt/compat.hpp, logging_internals): each level the plan
// decided from the logger's level cache is what isEnabledFor says.
Check cache_agrees(PyObject* logger, const Plan& plan, const std::array<Ref, 4>& levels) {
  try {
    for (std::size_t i = 0; i < levels.size(); ++i) {
      const Route route = plan.routes[i];
      if (route != Route::skip && route != Route::emit) continue;
      const bool enabled = pyrt::truthy(
          pyrt::call_method(Borrowed(logger), is_enabled_for, Borrowed(levels[i].get())));
      if (enabled != (route == Route::emit)) return Check::differs;
    }
    return Check::agrees;
  } catch (PyError& error) {
    pyrt::exception_family(error);
    return Check::inconclusive;
  }
}

}  // namespace

}  // namespace telegram_bridge::logger_plan
