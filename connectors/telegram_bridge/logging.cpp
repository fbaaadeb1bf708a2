// The module's log calls: through the module logger, with the standard logging.Logger's records
// made by the module itself where that is known to give the same record.
#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "bridge.hpp"
#include "pyrt/compat.hpp"
#include "pyrt/watch.hpp"

namespace telegram_bridge {

namespace {

const Name log_methods[] = {Name("debug"), Name("info"), Name("warning"), Name("error"),
                            Name("exception")};
// What the standard Logger's log methods run on the way to a record, besides the method itself.
const Name is_enabled_for("isEnabledFor"), low_level_log("_log"), find_caller("findCaller");
const Name logger_class("Logger"), disabled("disabled"), level_cache("_cache"),
    code_qualname("co_qualname"), source_file("_srcfile"), make_record("makeRecord"),
    handle_record("handle");
const Name level_constants[] = {Name("DEBUG"), Name("INFO"), Name("WARNING"), Name("ERROR")};

// What a call of the module logger at each level comes to. When the logger is exactly the
// standard logging.Logger, whose log methods (above) are logging's own and which nothing on the
// instance shadows, its own level cache (`_cache`, which `isEnabledFor` fills and `setLevel` and
// `logging.disable` clear) and `disabled` flag decide what the call would do:
//   skip  the call would return at once: it is not made;
//   emit  the call would make a record and hand it to the logger: the module does the same
//         through the logger's `makeRecord` and `handle`, as the method would, except that the
//         record is located at the module's own log call (its source file, line and function)
//         instead of wherever logging's frame search would land (a C function has no frame);
//   ask   the cache does not know the level yet: `isEnabledFor` is asked (and fills it), as the
//         method would ask it, and the record is made as for `emit` when the answer is true;
//   call  anything else, or any doubt: the method is called.
// Everything the answer rests on is watched (pyrt/watch.hpp): the logger's instance dict (level,
// `disabled`, `_cache`, `name`, any shadowing attribute), the cache, the Logger class and
// logging's namespace (the level constants, `_srcfile`); any change is seen at the next call.
enum class Route : std::uint8_t { call, skip, emit, ask };
struct RecordParts {
  PyObject* make_record = nullptr;
  PyObject* handle = nullptr;
  PyObject* logger_name = nullptr;
};
struct LoggerPlan {
  std::uint64_t epoch = 0;
  PyObject* logger = nullptr;        // compared; used only while `bound` and the epoch hold
  PyTypeObject* type = nullptr;      // only compared
  PyObject* dict = nullptr;          // only compared: the instance dict watched, if any
  bool bound = false;                // `logger` was read from the module's watched namespace
  bool located = false;              // logging._srcfile is set: records name where they were made
  std::array<Route, 5> routes = {};  // by Level
  // logging's DEBUG, INFO, WARNING, ERROR: borrowed from its watched namespace, for `emit`.
  std::array<PyObject*, 4> levels = {};
  // Logger.makeRecord and Logger.handle, logging's own, which nothing on the instance shadows,
  // borrowed from the watched class for `emit` to call as the bound methods would be called;
  // the logger's `name`, borrowed from its watched instance dict when nothing on the class has
  // that name.
  RecordParts parts;
};
LoggerPlan logger_plan;

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

// Whether `function` is logging's own Logger.<name>: defined in logging's namespace, under that
// name (not another of its methods put in its place).
bool is_logging_method(PyObject* function, const Name& name, PyObject* logging_dict) {
  if (function == nullptr || !PyFunction_Check(function) ||
      PyFunction_GetGlobals(function) != logging_dict) {
    return false;
  }
  Ref qualname =
      Ref::steal(PyObject_GetAttr(PyFunction_GetCode(function), code_qualname.get().get()));
  if (!qualname) {
    PyErr_Clear();
    return false;
  }
  Ref expected = Ref::steal(PyUnicode_FromFormat("Logger.%s", name.text()));
  bool same = expected && PyUnicode_Check(qualname.get()) &&
              PyUnicode_Equal(qualname.get(), expected.get()) == 1;
  if (!expected) PyErr_Clear();
  return same;
}

// The value under `key` in `dict` (a new reference), null when missing or unreadable (the error
// cleared).
Ref dict_value(PyObject* dict, PyObject* key) noexcept {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key, &value) < 0) PyErr_Clear();
  return Ref::steal(value);
}
Ref dict_value(PyObject* dict, const Name& key) {
  return dict_value(dict, key.get().get());
}

// Whether the plan agrees with logging's own methods (defined below, after emit).
enum class Check : std::uint8_t { agrees, differs, inconclusive };
Check plan_agrees(PyObject* logger, const LoggerPlan& plan, const std::array<Ref, 4>& levels);
// The function_epoch under which the plan last agreed with logging's methods.
std::uint64_t agreed_under = 0;

// Works out logger_plan for `logger`, read under `epoch` (from the module's watched namespace
// when `bound`), afresh. Anything unexpected (including a failure, whose error is cleared: the
// call that follows meets it again if it matters) routes every level to the call.
// Not noexcept: the names it looks up are made on first use, and that can fail like any call.
void plan_logger(PyObject* logger, std::uint64_t epoch, bool bound) {
  LoggerPlan found{epoch, logger, Py_TYPE(logger), nullptr, bound, false, {}, {}, {}};
  auto decided = [&] {
    assert(!PyErr_Occurred());
    logger_plan = found;
  };
  // The rules above re-create what logging's methods do (a private detail, see pyrt/compat.hpp):
  // only on an interpreter release they were verified on, only while the self-check holds, and
  // only while a change of any function's code or defaults (logging's methods changed in place)
  // is seen.
  using pyrt::compat::Entry, pyrt::compat::Path;
  if (!pyrt::compat::private_details_allowed() ||
      pyrt::compat::path_taken(Entry::logging_internals) == Path::public_path ||
      !pyrt::watch_functions()) {
    return decided();
  }
  PyObject* logging_module = PyImport_GetModule(names::logging.get().get());  // only if imported
  Ref logging_ref = Ref::steal(logging_module);
  if (logging_module == nullptr || !PyModule_Check(logging_module)) {
    PyErr_Clear();
    return decided();
  }
  PyObject* logging_dict = PyModule_GetDict(logging_module);
  if (!pyrt::watch_dict(logging_dict)) return decided();
  Ref standard = dict_value(logging_dict, logger_class);
  PyTypeObject* type = Py_TYPE(logger);
  if (reinterpret_cast<PyObject*>(type) != standard.get() || !pyrt::watch_type(type) ||
      type->tp_getattro != PyObject_GenericGetAttr) {
    return decided();
  }
  const std::array<const Name*, 10> methods = {
      &log_methods[0], &log_methods[1], &log_methods[2], &log_methods[3], &log_methods[4],
      &is_enabled_for, &low_level_log,  &find_caller,    &make_record,    &handle_record};
  bool failed = false;
  RecordParts record_parts;
  for (const Name* name : methods) {
    Ref function = find_in_type(type, name->get().get(), failed);
    if (failed || !is_logging_method(function.get(), *name, logging_dict)) return decided();
    // Borrowed: the watched class's dict holds them while the plan's epoch lasts.
    if (name == &make_record) record_parts.make_record = function.get();
    if (name == &handle_record) record_parts.handle = function.get();
  }
  for (const Name* name : {&disabled, &level_cache}) {  // instance attributes, nothing in the class
    if (find_in_type(type, name->get().get(), failed) || failed) return decided();
  }
  std::array<Ref, 4> levels;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    levels[i] = dict_value(logging_dict, level_constants[i]);
    if (!levels[i] || !PyLong_CheckExact(levels[i].get())) return decided();
  }
  // Logger._log asks for the caller's location only while _srcfile is set (logging's documented
  // way to save that cost); anything but a str or None leaves the calls to logging.
  Ref srcfile = dict_value(logging_dict, source_file);
  if (!srcfile || (srcfile.get() != Py_None && !PyUnicode_Check(srcfile.get()))) return decided();
  found.located = srcfile.get() != Py_None && PyUnicode_GET_LENGTH(srcfile.get()) != 0;
  PyObject* cache = nullptr;
  if (PyObject_GetOptionalAttr(logger, level_cache.get().get(), &cache) < 0) PyErr_Clear();
  Ref cache_ref = Ref::steal(cache);
  if (cache == nullptr || !PyDict_CheckExact(cache) || !pyrt::watch_dict(cache)) return decided();
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (!dict || !PyDict_CheckExact(dict.get()) || !pyrt::watch_dict(dict.get())) {
    PyErr_Clear();
    return decided();
  }
  for (const Name* name : methods) {
    int shadowed = PyDict_Contains(dict.get(), name->get().get());
    if (shadowed != 0) {
      PyErr_Clear();
      return decided();
    }
  }
  Ref flag = dict_value(dict.get(), disabled);
  Ref own_cache = dict_value(dict.get(), level_cache);
  if (own_cache.get() != cache || (flag.get() != Py_True && flag.get() != Py_False)) {
    return decided();
  }
  found.dict = dict.get();
  if (!find_in_type(type, names::name.get().get(), failed) && !failed) {
    Ref logger_name = dict_value(dict.get(), names::name);
    record_parts.logger_name = logger_name.get();  // borrowed: the watched instance dict holds it
  }
  found.parts = record_parts;
  for (std::size_t level = 0; level < found.routes.size(); ++level) {
    // `exception` logs at ERROR, through `error`.
    PyObject* number = levels[std::min(level, levels.size() - 1)].get();
    Ref enabled = dict_value(cache, number);
    found.routes[level] = flag.get() == Py_True || enabled.get() == Py_False ? Route::skip
                          : enabled.get() == Py_True                         ? Route::emit
                                                                             : Route::ask;
  }
  for (std::size_t i = 0; i < levels.size(); ++i) found.levels[i] = levels[i].get();
  const bool plans_records =
      std::ranges::any_of(found.routes, [](Route route) { return route != Route::call; });
  if (plans_records && (pyrt::compat::path_taken(Entry::logging_internals) == Path::unused ||
                        agreed_under != pyrt::detail::function_epoch)) {
    // Checked afresh at the first plan, and after any function's code or defaults changed.
    const std::uint64_t checked_under = pyrt::detail::function_epoch;
    const Check check = plan_agrees(logger, found, levels);
    if (check == Check::inconclusive ||
        !pyrt::compat::choose(Entry::logging_internals, check == Check::agrees)) {
      found.routes.fill(Route::call);
    } else {
      agreed_under = checked_under;
    }
  }
  return decided();
}

// Whether `logger`'s instance dict is still `watched`: a dict put in its place (`__dict__`
// assignment) is not watched, and the one it replaced reports nothing while someone keeps it.
bool has_instance_dict(PyObject* logger, PyObject* watched) noexcept {
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (!dict) PyErr_Clear();
  return dict.get() == watched;
}

// Whether `plan` holds for `logger` at level `index` under `epoch`. `logger` is dereferenced only
// once the epoch is known to hold (the plan's logger is alive then, while bound).
bool plan_fits(const LoggerPlan& plan, PyObject* logger, std::size_t index,
               std::uint64_t epoch) noexcept {
  return plan.epoch == epoch && plan.logger == logger && Py_TYPE(logger) == plan.type &&
         (plan.routes[index] == Route::call || has_instance_dict(logger, plan.dict));
}

// What the standard Logger's `level` method does once it knows the level is enabled:
// self.handle(self.makeRecord(self.name, LEVEL, file, line, message, (), exc_info, function,
// None, None)), with the location of the module's log call (see LoggerPlan). `exc_info` is the
// handled exception for `exception`, as sys.exc_info() gives it, else None. `parts`, where set,
// are the plan's (current): used instead of being looked up on the logger.
void emit(Borrowed logger, Level level, Borrowed level_number, bool located, Borrowed message,
          const RecordParts& parts, Where where) {
  // Held before any Python code runs: that may change the class that lends them.
  const std::uint64_t epoch = pyrt::detail::cache_epoch;
  Ref make_record_function = Ref::borrow(parts.make_record);
  Ref handle_function = Ref::borrow(parts.handle);
  Ref name = Ref::borrow(parts.logger_name);
  Ref file, line, function;
  if (located) {
    file = location_text(where.file_name(), where);
    line = pyrt::require(PyLong_FromUnsignedLong(where.line()), where);
    // The step or module function running the log call, by the name it was given in the code.
    const char* function_name = pyrt::running_function_name();
    function = function_name != nullptr ? location_text(function_name, where)
                                        : text_of<"(unknown function)">();
  } else {
    file = text_of<"(unknown file)">();
    line = pyrt::require(PyLong_FromLong(0), where);
    function = text_of<"(unknown function)">();
  }
  Ref exc_info = Ref::none();
  if (level == Level::exception) {
    Ref handled = Ref::steal(PyErr_GetHandledException());
    if (handled && !handled.is_none()) {
      Ref traceback = Ref::steal(PyException_GetTraceback(handled.get()));
      exc_info = pyrt::require(PyTuple_Pack(3, Py_TYPE(handled.get()), handled.get(),
                                            traceback ? traceback.get() : Py_None),
                               where);
    } else {
      exc_info = pyrt::require(PyTuple_Pack(3, Py_None, Py_None, Py_None), where);
    }
  }
  if (!name) name = pyrt::getattr(logger, names::name, where);
  Ref no_args = pyrt::require(PyTuple_New(0), where);
  Ref record =
      make_record_function
          ? pyrt::call({make_record_function, where}, logger, name, level_number, file, line,
                       message, no_args, exc_info, function, Borrowed(Py_None), Borrowed(Py_None))
          : pyrt::call_method({logger, where}, make_record, name, level_number, file, line, message,
                              no_args, exc_info, function, Borrowed(Py_None), Borrowed(Py_None));
  // makeRecord ran Python code: `handle` is looked up again if anything watched changed.
  if (handle_function && epoch == pyrt::detail::cache_epoch) {
    pyrt::call({handle_function, where}, logger, record);
  } else {
    pyrt::call_method({logger, where}, handle_record, record);
  }
}

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

// The self-check of the plan (pyrt/compat.hpp, logging_internals): each level the plan decided from
// the logger's level cache is what isEnabledFor says; and on a scratch logger, the records made
// the plan's way at info and exception level equal, field by field but for where and when, those
// its own methods make. Inconclusive when a method made no record (logging.disable) or the check
// failed: it is made again at the next plan.
Check plan_agrees(PyObject* logger, const LoggerPlan& plan, const std::array<Ref, 4>& levels) {
  try {
    for (std::size_t i = 0; i < levels.size(); ++i) {
      const Route route = plan.routes[i];
      if (route != Route::skip && route != Route::emit) continue;
      const bool enabled = pyrt::truthy(
          pyrt::call_method(Borrowed(logger), is_enabled_for, Borrowed(levels[i].get())));
      if (enabled != (route == Route::emit)) return Check::differs;
    }
    Ref logging_class = pyrt::getattr(module_global(names::logging), logger_class);
    Ref scratch = pyrt::call(logging_class, check_logger_name);
    Ref records = pyrt::require(PyList_New(0));
    // Both ways hand their record to `handle`: here, to the list.
    pyrt::setattr(scratch, handle_record, pyrt::getattr(records, append));
    Ref message = pyrt::string("pyrt compat check");
    Ref failure = pyrt::call(Borrowed(PyExc_ValueError), message);
    pyrt::Handling handling{Borrowed(failure)};  // what `exception` attaches
    for (const Level level : {Level::info, Level::exception}) {
      const auto index = static_cast<std::size_t>(level);
      Borrowed number(levels[std::min(index, levels.size() - 1)].get());
      pyrt::call_method(scratch, log_methods[index], message);
      emit(scratch, level, number, plan.located, message, {}, Where::current());
    }
    if (PyList_GET_SIZE(records.get()) != 4) return Check::inconclusive;
    for (Py_ssize_t i = 0; i < 4; i += 2) {
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

}  // namespace

namespace {

// The plan's route for a call at `index`, the plan made afresh when it does not fit. `logger` is
// set when the module namespace had to be read.
Route route_of(std::size_t index, Ref& logger, Where where) {
  const LoggerPlan& plan = logger_plan;
  const std::uint64_t epoch = pyrt::detail::cache_epoch;  // before the read it vouches for
  // While the epoch holds, the module's namespace still binds the logger the plan was made for
  // (and keeps it alive): no read of the namespace is needed.
  if (!plan.bound || !plan_fits(plan, plan.logger, index, epoch)) {
    logger = module_global(names::logger, where);
    if (!plan_fits(plan, logger.get(), index, epoch)) {
      plan_logger(logger.get(), epoch, pyrt::watch_dict(module_dict(where)));
    }
  }
  // A plan made stale while it was made is not followed.
  return plan.epoch == pyrt::detail::cache_epoch ? plan.routes[index] : Route::call;
}

// Whether str() of `object` runs no Python code and cannot fail but for memory: an exact str,
// None, a bool, or an exact int of at most 64 bits (far below the digit limit).
bool plain_scalar(PyObject* object) noexcept {
  if (PyUnicode_CheckExact(object) || object == Py_None || PyBool_Check(object)) return true;
  if (!PyLong_CheckExact(object)) return false;
  int overflow = 0;
  (void)PyLong_AsLongLongAndOverflow(object, &overflow);
  return overflow == 0;
}

}  // namespace

bool plain_inputs(std::initializer_list<Borrowed> inputs) noexcept {
  for (Borrowed input : inputs) {
    PyObject* object = input.get();
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
      const std::span<PyObject*> items(PySequence_Fast_ITEMS(object),
                                       static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object)));
      if (!std::ranges::all_of(items, plain_scalar)) return false;
    } else if (!plain_scalar(object)) {
      return false;
    }
  }
  return true;
}

bool log_dropped(Level level, Where where) {
  Ref logger;
  return route_of(static_cast<std::size_t>(level), logger, where) == Route::skip;
}

void log(Level level, Borrowed message, Where where) {
  const auto index = static_cast<std::size_t>(level);
  Ref logger;
  const Route route = route_of(index, logger, where);
  if (route == Route::skip) return;
  const LoggerPlan& plan = logger_plan;
  if (!logger) logger = Ref::borrow(Borrowed(plan.logger));  // held: the call may rebind it
  if (route == Route::call) {
    pyrt::call_method({logger, where}, log_methods[index], message);
    return;
  }
  // Taken before any Python code runs: that may change what the plan borrows.
  Ref level_number = Ref::borrow(Borrowed(plan.levels[std::min(index, plan.levels.size() - 1)]));
  const bool located = plan.located;
  if (route == Route::ask &&
      !pyrt::truthy(pyrt::call_method({logger, where}, is_enabled_for, level_number), where)) {
    return;
  }
  // The plan's parts only while it holds: isEnabledFor may have changed what it rests on.
  const RecordParts parts = plan.epoch == pyrt::detail::cache_epoch ? plan.parts : RecordParts{};
  emit(logger, level, level_number, located, message, parts, where);
}

}  // namespace telegram_bridge
