// A bridge that outlives the event loop it was started on: hosts re-create their loop (a loop per
// test, a restarted server, two asyncio.run() calls). A worker whose loop has been closed does not
// count as running and is dropped, never awaited. The queue is the bridge's for good, whatever
// object the host installed: an asyncio.Queue that an earlier loop bound (its first wait did) is
// re-bound to the running loop before the bridge waits on it or puts to it (see
// pyrt::compat::rebind_queue); one that cannot be is used as it is, and the worker then polls it.
#include "bridge.hpp"
#include "pyrt/compat.hpp"

namespace telegram_bridge {

namespace {

const Name get_loop("get_loop"), is_closed("is_closed"), empty("empty"),
    get_running_loop("get_running_loop");

// task.get_loop(), or an empty Ref for a task that cannot tell its loop.
Ref loop_of(Borrowed task) {
  PyObject* method = nullptr;
  pyrt::require(PyObject_GetOptionalAttr(task.get(), get_loop.get().get(), &method));
  if (method == nullptr) return {};
  return pyrt::call(Ref::steal(method));
}

}  // namespace

bool worker_loop_closed(Borrowed task) {
  if (!pyrt::truthy(task)) return false;
  Ref loop = loop_of(task);
  return loop && pyrt::truthy(pyrt::call_method(loop, is_closed));
}

Ref running_loop(Where where) {
  // The interpreter's asyncio, not the module's name for it: this is no call the bridge makes on
  // the host's behalf, only a question about where it runs.
  try {
    return pyrt::call_method({pyrt::import(names::asyncio, where), where}, get_running_loop);
  } catch (PyError& error) {
    if (!error.matches(PyExc_RuntimeError)) throw;
    return Ref::none();  // driven by hand, on no loop
  }
}

bool loop_closed(Borrowed loop, Where where) {
  return !loop.is_none() && pyrt::truthy(pyrt::call_method({loop, where}, is_closed), where);
}

void hand_queue_over(Borrowed queue, Where where) {
  pyrt::compat::rebind_queue(queue, where);
}

bool queue_waits_here(Borrowed queue, Where where) {
  return pyrt::compat::rebind_queue(queue, where) !=
         pyrt::compat::QueueBinding::maybe_bound_elsewhere;
}

bool queue_empty(Borrowed queue, Where where) {
  return pyrt::truthy(pyrt::call_method({queue, where}, empty), where);
}

}  // namespace telegram_bridge
