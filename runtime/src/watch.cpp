#include "pyrt/watch.hpp"

#include <cassert>

#include "internal.hpp"
#include "pyrt/interned.hpp"

namespace pyrt {

namespace detail {

std::uint64_t cache_epoch = 1;

namespace {

// The watcher ids of the current interpreter lifetime (plain data, nothing owned).
struct WatchState {
  std::uint32_t generation = 0;  // the interpreter lifetime the ids belong to
  int dict_watcher = -1;
};
WatchState watch_state;

// Runs before the change takes effect.
int on_dict_event(PyDict_WatchEvent /*event*/, PyObject* /*dict*/, PyObject* /*key*/,
                  PyObject* /*new_value*/) noexcept {
  ++cache_epoch;
  return 0;
}

// Only while the interpreter keeps the runtime's objects: after it released them (late in its
// finalisation) nothing would clear the watchers.
bool watchers_ready() noexcept {
  if (!keeping()) return false;
  if (watch_state.generation != interpreter_generation) {
    watch_state = {};
    watch_state.generation = interpreter_generation;
    // Every id taken (the interpreter has a few for all extensions): nothing is cached.
    watch_state.dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (watch_state.dict_watcher < 0) PyErr_Clear();
  }
  return true;
}

}  // namespace

}  // namespace detail

void release_watches() noexcept {
  using detail::watch_state;
  if (watch_state.generation == detail::interpreter_generation && watch_state.dict_watcher >= 0 &&
      PyDict_ClearWatcher(watch_state.dict_watcher) < 0) {
    PyErr_Clear();
  }
  watch_state = {};
  ++detail::cache_epoch;
}

bool watch_dict(PyObject* dict) noexcept {
  // A failure here is cleared; an error raised before would be lost with it.
  assert(!PyErr_Occurred());
  if (!detail::watchers_ready() || detail::watch_state.dict_watcher < 0) return false;
  if (PyDict_Watch(detail::watch_state.dict_watcher, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

}  // namespace pyrt
