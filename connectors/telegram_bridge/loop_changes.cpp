// A bridge that outlives the event loop it was started on: hosts re-create their loop (a loop per
// test, a restarted server, two asyncio.run() calls). A worker whose loop has been closed does not
// count as running, and a queue that a worker waited on belongs to that worker's loop (asyncio
// binds it at the first wait), so a start on another loop gets a queue of its own that carries the
// pending messages over in order.
#include "bridge.hpp"

namespace telegram_bridge {

namespace {

const Name get_loop("get_loop"), is_closed("is_closed"), weakref_module("weakref"),
    weak_key_dictionary("WeakKeyDictionary"), ref("ref"), get_running_loop("get_running_loop"),
    empty("empty"), get_nowait("get_nowait"), put_nowait("put_nowait");

// queue -> weak reference to the loop whose worker waits on it: per interpreter lifetime; an entry
// goes with its queue.
Borrowed queue_loops() {
  static pyrt::detail::PerInterpreter loops;
  if (loops.current()) return loops.object();
  Ref dictionary = pyrt::call(pyrt::getattr(pyrt::import(weakref_module), weak_key_dictionary));
  return loops.hold(dictionary.release(), Where::current());
}

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

void note_queue_loop(Borrowed queue, Borrowed task) {
  Ref loop = loop_of(task);
  if (!loop) return;
  Ref loop_ref = pyrt::call(pyrt::getattr(pyrt::import(weakref_module), ref), loop);
  pyrt::require(PyObject_SetItem(queue_loops().get(), queue.get(), loop_ref.get()));
}

void rehome_queue(Borrowed self) {
  Ref queue = pyrt::getattr(self, names::_queue);
  Ref loop_ref = get_from(queue_loops(), queue);
  if (loop_ref.is_none()) return;  // no worker has waited on it
  // The interpreter's asyncio, not the module's name for it: this is no call the bridge makes on
  // the host's behalf, only a question about where it runs.
  Ref running = pyrt::call_method(pyrt::import(names::asyncio), get_running_loop);
  if (pyrt::call(loop_ref).is(running)) return;
  Ref fresh = pyrt::call(pyrt::getattr(module_global(names::asyncio), names::Queue));
  while (!pyrt::truthy(pyrt::call_method(queue, empty))) {
    pyrt::call_method(fresh, put_nowait, pyrt::call_method(queue, get_nowait));
  }
  pyrt::setattr(self, names::_queue, fresh);
}

}  // namespace telegram_bridge
