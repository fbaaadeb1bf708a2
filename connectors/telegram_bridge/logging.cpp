// The module's log calls: through the module logger, made as its method would make them where
// the logger plan (logger_plan.hpp) vouches for that.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "bridge.hpp"
#include "logger_plan.hpp"
#include "pyrt/watch.hpp"

namespace telegram_bridge {

namespace logger_plan {

namespace {
const Name make_record("makeRecord"), handle_record("handle");
}  // namespace

// What the standard Logger's `level` method does once it knows the level is enabled:
// self.handle(self.makeRecord(self.name, LEVEL, file, line, message, (), exc_info, function,
// None, None)), with the location of the module's log call (see LoggerPlan). `exc_info` is the
// handled exception for `exception`, as sys.exc_info() gives it, else None. `parts`, where set,
// are the plan's (current): used instead of being looked up on the logger.
void emit(Borrowed logger, Level level, Borrowed level_number, bool located, Borrowed message,
          const RecordParts& parts, Where where) {
  // Held before any Python code runs: that may change the class that lends them.
  const std::uint64_t epoch = pyrt::detail::cache_epoch;
  PyTypeObject* const type = Py_TYPE(logger.get());
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
  // makeRecord ran Python code: `handle` is looked up again, as the method would look it up, if
  // anything watched changed or the logger's class was assigned.
  if (handle_function && epoch == pyrt::detail::cache_epoch && Py_TYPE(logger.get()) == type) {
    pyrt::call({handle_function, where}, logger, record);
  } else {
    pyrt::call_method({logger, where}, handle_record, record);
  }
}

}  // namespace logger_plan

namespace {

using logger_plan::Route;

const Name log_methods[] = {Name("debug"), Name("info"), Name("warning"), Name("error"),
                            Name("exception")};

// Reads the module's logger into `logger` and makes the plan for it, unless the plan fits it
// under `epoch`. A plan made stale while it was made (making it can fill a cache it watches) is
// made once more; one stale again is not followed.
void replan(std::size_t index, Ref& logger, std::uint64_t epoch, Where where) {
  const logger_plan::Plan& plan = logger_plan::current;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0) epoch = pyrt::detail::cache_epoch;
    logger = module_global(names::logger, where);
    if (logger_plan::fits(plan, logger.get(), index, epoch)) return;
    logger_plan::make(logger.get(), epoch, pyrt::watch_dict(module_dict(where)));
    if (plan.epoch == pyrt::detail::cache_epoch) return;
  }
}

// The plan's route for a call at `index`, the plan made afresh when it does not fit. `logger` is
// set when the module namespace had to be read.
Route route_of(std::size_t index, Ref& logger, Where where) {
  const logger_plan::Plan& plan = logger_plan::current;
  const std::uint64_t epoch = pyrt::detail::cache_epoch;  // before the read it vouches for
  // While the epoch holds, the module's namespace still binds the logger the plan was made for
  // (and keeps it alive): no read of the namespace is needed.
  if (!plan.bound || !logger_plan::fits(plan, plan.logger, index, epoch)) {
    replan(index, logger, epoch, where);
  }
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

LogCall::LogCall(Level level, Where where) : level_(level), where_(where) {
  const auto index = static_cast<std::size_t>(level);
  const Route route = route_of(index, logger_, where);
  if (route == Route::skip) {
    dropped_ = true;
    return;
  }
  const logger_plan::Plan& plan = logger_plan::current;
  if (!logger_) logger_ = Ref::borrow(Borrowed(plan.logger));  // held: a call may rebind it
  if (route == Route::call) return;
  // Taken before any Python code runs: that may change what the plan borrows.
  level_number_ = Ref::borrow(Borrowed(plan.levels[std::min(index, plan.levels.size() - 1)]));
  located_ = plan.located;
  made_here_ = true;
  asked_ = route == Route::ask;
  if (asked_) {
    // logging's own isEnabledFor, unshadowed (the plan holds): called as the bound method would be.
    Ref is_enabled =
        Ref::borrow(Borrowed(plan.relied_on[logger_plan::is_enabled_for_index].function));
    dropped_ = !pyrt::truthy(pyrt::call({is_enabled, where}, logger_, level_number_), where);
  }
}

void LogCall::make(Borrowed message) {
  const auto index = static_cast<std::size_t>(level_);
  const logger_plan::Plan& plan = logger_plan::current;
  // Nothing runs between the decision and here but isEnabledFor, when it was asked: that may have
  // changed what the plan rests on (it fills the level cache, which moves the epoch). The record
  // is made here only while the functions the plan relies on are unchanged, with the plan's parts
  // only while it still fits.
  if (!made_here_ || (asked_ && !logger_plan::relied_on_holds(plan, index, false))) {
    pyrt::call_method({logger_, where_}, log_methods[index], message);
    return;
  }
  const bool holds = plan.epoch == pyrt::detail::cache_epoch &&
                     (!asked_ || logger_plan::fits(plan, logger_.get(), index, plan.epoch));
  logger_plan::emit(logger_, level_, level_number_, located_, message,
                    holds ? plan.parts : logger_plan::RecordParts{}, where_);
}

void log(Level level, Borrowed message, Where where) {
  LogCall call(level, where);
  if (!call.dropped()) call.make(message);
}

}  // namespace telegram_bridge
