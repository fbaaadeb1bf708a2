// Caches of values read from dictionaries (a module's globals, a class's namespace, ...), kept as
// the interpreter's specialised bytecode keeps them, made safe for C++ by CPython's dictionary
// watchers.
//
// Rules:
//   - An entry records detail::cache_epoch when its fill starts and is used only while the epoch
//     is unchanged. The dictionary it was read from is watched (watch_dict) before it is stored.
//   - The epoch moves on before any change of a watched dictionary takes effect (a key added,
//     changed or deleted, the dict cleared, filled from another or deallocated), and when the
//     interpreter releases what the runtime keeps (its finalisation). So a value borrowed from a
//     watched dictionary stays alive while an entry holding it is used.
//   - A class's namespace is the dict PyType_GetDict gives, which setattr and delattr on the
//     class change; replacing the class's bases changes no namespace, only its MRO, which the
//     cache's user compares.
//   - No watcher hears of every object of a kind (a function watcher would run for every function
//     the host makes or frees): what a cache rests on beyond dictionaries is compared at each
//     use by its user.
//   - When something cannot be watched (every watcher id of the interpreter is taken, or the
//     interpreter has released the runtime's objects), watch_dict returns false and nothing is
//     cached: the uncached path is always correct.
#pragma once

#include <cstdint>

#include "pyrt/error.hpp"

namespace pyrt {

namespace detail {
extern std::uint64_t cache_epoch;
}  // namespace detail

// Watches `dict` for the caches; false when it cannot be watched. Called with no error raised.
bool watch_dict(PyObject* dict) noexcept;

}  // namespace pyrt
