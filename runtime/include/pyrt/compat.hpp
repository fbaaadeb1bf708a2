// Every use of a private detail of CPython or its standard library, in one unit (compat.cpp).
//
// Each entry below says what it assumes, the guarantee that keeps the assumption valid, its
// self-check and its fallback, which behaves the same (only speed may differ). The guarantees:
//   abi           a field of CPython's public headers or PyUnstable_ API: CPython keeps both
//                 unchanged within a feature release, so the private path is taken on every 3.14
//                 release.
//   self_checked  an internal of the standard library or of the interpreter's own Python
//                 machinery: taken on every 3.14 release while its self-check, made at first use,
//                 holds; the first failure sends the entry to its public path for good.
// No entry is taken on another feature release, nor while the environment variable PYRT_COMPAT (a
// comma-separated list) holds "public" (every entry: how the tests run the fallbacks) or
// "public:ENTRY" (one, by entry_name: how the benchmarks weigh it). With "report" in it, each entry
// writes one line to stderr when its way is decided: "pyrt.compat: ENTRY: private" or
// "pyrt.compat: ENTRY: public (WHY)".
#pragma once

#include <cstdint>
#include <span>

#include "pyrt/error.hpp"
#include "pyrt/interned.hpp"
#include "pyrt/ref.hpp"
#include "pyrt/where.hpp"

namespace pyrt::compat {

// The releases the entries were last verified on, as Py_Version spells them (CPython 3.14.10
// final): a record of what was tested, not a gate.
inline constexpr std::uint32_t verified_releases[] = {0x030e0af0};
// The feature release whose guarantees the entries rest on.
inline constexpr std::uint32_t covered_series = 0x030e;

enum class Entry : std::uint8_t {
  // abi. Assumes: PyThreadState's coroutine_origin_tracking_depth field is the depth that
  // sys.set_coroutine_origin_tracking_depth sets. Self-check: both agree. Fallback:
  // sys.get_coroutine_origin_tracking_depth().
  origin_tracking_depth,
  // self_checked. Assumes: warnings._warn_unawaited_coroutine(coro) warns as the interpreter does
  // for a native coroutine. Self-check: it is a function of one parameter. Fallback: the same
  // RuntimeWarning, its origin lines formatted by traceback.format_list, through warnings.warn.
  unawaited_warning,
  // self_checked. Assumes: _suggestions._generate_suggestions(names, name) is the "Did you mean"
  // engine of the interpreter's own error messages. Self-check: it suggests "right" for "rigth".
  // Fallback: the message without the hint.
  keyword_suggestion,
  // self_checked. Assumes: what logging.Logger's log methods do in 3.14 beyond its public methods
  // (the level cache `_cache` that isEnabledFor reads, `logging._srcfile` deciding whether `_log`
  // asks findCaller for a location), so that a call the logger drops is not made. Self-check: the
  // bridge's, comparing its decisions and records with the methods' own (its logging unit).
  // Fallback: isEnabledFor is asked at every call, and records are always located.
  logging_internals,
  // self_checked. Assumes: asyncio.coroutines._is_coroutine is the marker asyncio's
  // iscoroutinefunction looks for on a function. Self-check: it is there, a plain object.
  // Fallback: only inspect's marker (which asyncio's test asks first).
  coroutine_marker,
  // self_checked. Assumes: an asyncio.Queue keeps the event loop it is bound to in `_loop`
  // (asyncio.mixins'
  // _LoopBoundMixin: None until the first wait binds the running loop) and its waiters' futures,
  // all made on that loop, in the deques `_getters` and `_putters`; a future lists its
  // callbacks in `_callbacks` as (callback, context) pairs. Re-binding a queue that is bound to
  // another loop, none of whose waiters can still run (their loops are closed), sets `_loop` to
  // None (the next wait binds the running loop) and drops those futures, their callbacks taken
  // off first (the dead waiting task's own cancel() of its future then schedules nothing on the
  // closed loop); the items stay untouched. Self-check, at first use on a running loop: the
  // mixin's default, _get_loop binding the running loop, the deques, `_callbacks`.
  // Fallback: the queue is left as it is (rebind_queue says it may be bound elsewhere).
  queue_loop_binding,
  count,
};
enum class Path : std::uint8_t { unused, private_path, public_path };

// The name of `entry`, as the report and the tests spell it.
const char* entry_name(Entry entry) noexcept;
// The way `entry` has gone so far.
Path path_taken(Entry entry) noexcept;
// Whether an interpreter of `release` (as Py_Version spells it) is one the guarantees cover.
bool covers(std::uint32_t release) noexcept;
// Whether `entry` may take its private path now: this interpreter is covered, PYRT_COMPAT does
// not force the public paths and no self-check of `entry` has failed.
bool may_go_private(Entry entry) noexcept;
// Records the way `entry` goes from now on (a self-check that failed chooses the public path for
// good); returns whether that is the private one. For entries whose self-check lives elsewhere.
bool choose(Entry entry, bool private_path_agrees) noexcept;

namespace detail {
// Set once an entry has gone the private way, for the inline fast paths below.
extern bool origin_depth_field;
int origin_tracking_depth_slow(Where where);
}  // namespace detail

// The coroutine origin tracking depth of the current thread.
inline int origin_tracking_depth(Where where) {
  if (detail::origin_depth_field) return PyThreadState_Get()->coroutine_origin_tracking_depth;
  return detail::origin_tracking_depth_slow(where);
}
// Warns that `coroutine` (with `__qualname__` and `cr_origin`) was never awaited, as the
// interpreter does for its own coroutines. Throws PyError when the warning was turned into an
// error or could not be made.
void warn_unawaited(Borrowed coroutine);
// The parameter name in `names` (a list) closest to `keyword`, or an empty Ref.
Ref keyword_suggestion(Borrowed names, Borrowed keyword);
// Marks `function` as asyncio's own coroutine functions are marked, where that marker exists.
void mark_coroutine_function(Borrowed function, Where where);

// logging's internals (logging_internals): what the bridge's logger plan reads beyond logging's
// public API, named only here.
namespace logging {
// The private methods of the standard Logger that its log methods go through (`_log`,
// `findCaller`): they must be logging's own for a call to be made the plan's way.
std::span<const Name> private_methods();
// The instance attribute holding a standard logger's level cache (`_cache`).
const Name& level_cache();
// Whether the standard Logger's records name the caller's location, read from logging's
// namespace (`_srcfile`): 1 yes, 0 no, -1 unknown (anything but a str or None).
int records_located(PyObject* logging_namespace);
}  // namespace logging

// Where a queue stands towards the running event loop, after rebind_queue.
enum class QueueBinding : std::uint8_t {
  usable,                 // an asyncio.Queue on no loop or on the running one (re-bound if need be)
  maybe_bound_elsewhere,  // an asyncio.Queue that could not be re-bound: waits on it may fail
  not_asyncio,            // another object: the host's own, used as it is
};
// Re-binds `queue` to the running event loop when it is an asyncio.Queue bound to another loop
// whose waiters can no longer run (see Entry::queue_loop_binding). Must run on an event loop.
QueueBinding rebind_queue(Borrowed queue, Where where);

}  // namespace pyrt::compat
