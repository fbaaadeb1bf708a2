// The logger plan: what a call of the module logger at each level comes to, worked out once for
// the logger and followed while everything it rests on is unchanged (logger_plan.cpp).
//
// When the logger is exactly the standard logging.Logger, whose log methods and the methods they
// go through are logging's own and which nothing on the instance shadows, a call is made as the
// method would make it, through the logger's public API, except that the record is located at
// the module's own log call (a C function has no frame for logging to find):
//   ask   isEnabledFor(level) is asked, as the method asks it; when true, the record is made with
//         makeRecord and handed to handle, as the method does (the public plan);
//   skip  the call would return at once: it is not made;
//   emit  the call would make a record: it is made as for `ask`, without asking;
//   call  anything else, or any doubt: the method is called.
// skip and emit come from the logger's level cache (a private detail, pyrt/compat.hpp's
// logging_internals: taken while its self-check holds); without it every route is ask.
#pragma once

#include <array>
#include <cstdint>

#include "bridge.hpp"

namespace telegram_bridge::logger_plan {

enum class Route : std::uint8_t { call, skip, emit, ask };

// Logger.makeRecord and Logger.handle, logging's own, borrowed from the class for `emit` to call
// as the bound methods would be called; the logger's `name`, borrowed from its watched instance
// dict when nothing on the class has that name. Null: looked up on the logger.
struct RecordParts {
  PyObject* make_record = nullptr;
  PyObject* handle = nullptr;
  PyObject* logger_name = nullptr;
};

// One function the plan relies on, as it was when planned. Nothing reports a change of a
// function's code or defaults in place (but a watcher of every function in the process), so they
// are compared at each use; the plan's snapshot holds them, so an address is never reused.
struct ReliedOn {
  PyObject* name = nullptr;  // interned, kept for the interpreter's lifetime
  PyObject* function = nullptr;
  PyObject* code = nullptr;
  PyObject* defaults = nullptr;
  PyObject* keyword_defaults = nullptr;
  bool operator==(const ReliedOn&) const = default;
};
// The five log methods by Level, then isEnabledFor, makeRecord, handle and the private methods
// the log methods go through.
inline constexpr std::size_t relied_on_count = 10;
inline constexpr std::size_t is_enabled_for_index = 5;

struct Plan {
  std::uint64_t epoch = 0;
  PyObject* logger = nullptr;    // compared; used only while `bound` and the epoch hold
  PyTypeObject* type = nullptr;  // only compared
  PyObject* dict = nullptr;      // only compared: the instance dict watched, if any
  // Only compared: the class's MRO as planned (the plan's snapshot holds it). The namespaces of
  // its classes are watched; replacing a class's bases changes none of them, only the MRO.
  PyObject* mro = nullptr;
  bool bound = false;                // `logger` was read from the module's watched namespace
  bool located = true;               // records name where they were made
  std::array<Route, 5> routes = {};  // by Level
  // logging's DEBUG, INFO, WARNING, ERROR: borrowed from its watched namespace.
  std::array<PyObject*, 4> levels = {};
  RecordParts parts;
  std::array<ReliedOn, relied_on_count> relied_on = {};
};
extern Plan current;

// Works out `current` for `logger`, read under `epoch` (from the module's watched namespace when
// `bound`), afresh. Anything unexpected routes every level to the call.
void make(PyObject* logger, std::uint64_t epoch, bool bound);
// Whether `plan` holds for a call of `logger` at `index` under `epoch`.
bool fits(const Plan& plan, PyObject* logger, std::size_t index, std::uint64_t epoch) noexcept;

// Whether the functions a call at `index` (going on to make a record unless `dropping`) relies on
// are as planned (see ReliedOn).
bool relied_on_holds(const Plan& plan, std::size_t index, bool dropping) noexcept;

// What the standard Logger's method does once it knows the level is enabled (see logging.cpp).
void emit(Borrowed logger, Level level, Borrowed level_number, bool located, Borrowed message,
          const RecordParts& parts, Where where);

}  // namespace telegram_bridge::logger_plan
