// Every use of a private detail of CPython or its standard library, in one unit (compat.cpp).
//
// Each entry below says what it assumes and what it falls back to. An entry takes its private
// path only on an interpreter release it was verified on (verified_versions: exact releases, as
// Py_Version spells them), only while its self-check, where a public path exists to check it
// against, has found no difference (the first difference sends it to the public path for good),
// and never while the environment variable PYRT_COMPAT is "public" (how the tests force the
// fallbacks). path_taken() tells which way each entry went, for the tests.
#pragma once

#include <cstdint>

#include "pyrt/error.hpp"
#include "pyrt/ref.hpp"
#include "pyrt/where.hpp"

namespace pyrt::compat {

// CPython 3.14.10 final.
inline constexpr std::uint32_t verified_versions[] = {0x030e0af0};

enum class Entry : std::uint8_t {
  // Assumes: PyCoro_Type's tp_getset has an entry "cr_await" whose getter is what the attribute
  // lookup runs. Fallback: the attribute lookup. Self-check: both give the same object.
  cr_await_getter,
  // Assumes: PyThreadState's coroutine_origin_tracking_depth field is the depth that
  // sys.set_coroutine_origin_tracking_depth sets. Fallback:
  // sys.get_coroutine_origin_tracking_depth().
  // Self-check: both agree.
  origin_tracking_depth,
  // Assumes: warnings._warn_unawaited_coroutine(coro) warns as the interpreter does for a native
  // coroutine (its wording, its origin lines, the filters). Fallback: the same RuntimeWarning text
  // through PyErr_WarnFormat, without the origin lines.
  unawaited_warning,
  // Assumes: PyUnstable_Type_AssignVersionTag gives a type the version tag without which CPython
  // reports no change of it to type watchers. Fallback: the type is not watched, so nothing that
  // rests on it is cached.
  type_version_tag,
  // Assumes: _suggestions._generate_suggestions(names, name) is the "Did you mean" engine of the
  // interpreter's own error messages. Fallback: the message without the hint.
  keyword_suggestion,
  // Assumes: what logging.Logger's log methods do in 3.14 (isEnabledFor with the level cache
  // `_cache`, `_log`, findCaller when `logging._srcfile` is set, makeRecord, handle), so that a
  // record can be made as the method would make it (the bridge's logger plan). Fallback: the
  // method is called. Self-check: the bridge's, at the first record (see its logging unit).
  logging_internals,
  // Assumes: an asyncio.Queue keeps the event loop it is bound to in `_loop` (asyncio.mixins'
  // _LoopBoundMixin: None until the first wait binds the running loop) and its waiters' futures,
  // all made on that loop, in the deques `_getters` and `_putters`; a future lists its
  // callbacks in `_callbacks` as (callback, context) pairs. Re-binding a queue that is bound to
  // another loop, none of whose waiters can still run (their loops are closed), sets `_loop` to
  // None (the next wait binds the running loop) and drops those futures, their callbacks taken
  // off first (the dead waiting task's own cancel() of its future then schedules nothing on the
  // closed loop); the items stay untouched. Gated by its own self-check at first use (the
  // mixin's default, _get_loop binding the running loop, the deques, `_callbacks`), not by the
  // verified releases; never with PYRT_COMPAT=public.
  // Fallback: the queue is left as it is (rebind_queue says it may be bound elsewhere).
  queue_loop_binding,
  count,
};
enum class Path : std::uint8_t { unused, private_path, public_path };

// The way `entry` has gone so far.
Path path_taken(Entry entry) noexcept;
// Whether this interpreter is one the entries were verified on and the private paths are allowed.
bool private_details_allowed() noexcept;
// Records the way `entry` goes from now on (a self-check that failed chooses the public path for
// good); returns whether that is the private one. For entries whose private path lives elsewhere.
bool choose(Entry entry, bool private_path_agrees) noexcept;

namespace detail {
// Set once an entry has gone the private way, for the inline fast paths below.
extern const PyGetSetDef* cr_await_getter;
extern bool origin_depth_field;
Ref native_coroutine_awaited_slow(Borrowed coroutine, Where where);
int origin_tracking_depth_slow(Where where);
}  // namespace detail

// The object a native coroutine awaits (its cr_await), None or null when it awaits nothing.
inline Ref native_coroutine_awaited(Borrowed coroutine, Where where) {
  if (const PyGetSetDef* getter = detail::cr_await_getter) {
    return require(getter->get(coroutine.get(), getter->closure), where);
  }
  return detail::native_coroutine_awaited_slow(coroutine, where);
}
// The coroutine origin tracking depth of the current thread.
inline int origin_tracking_depth(Where where) {
  if (detail::origin_depth_field) return PyThreadState_Get()->coroutine_origin_tracking_depth;
  return detail::origin_tracking_depth_slow(where);
}
// Warns that `coroutine` was never awaited as the interpreter would; false when it did not (the
// caller then warns by itself). A raised error is left set.
bool warn_unawaited(Borrowed coroutine);
// Gives `type` a version tag; false when it has none (its changes would not be reported).
bool assign_version_tag(PyTypeObject* type) noexcept;
// The parameter name in `names` (a list) closest to `keyword`, or an empty Ref.
Ref keyword_suggestion(Borrowed names, Borrowed keyword);

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
