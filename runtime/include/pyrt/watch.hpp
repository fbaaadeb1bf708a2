// Caches of values read from dictionaries (a module's globals, ...) and of what a class's
// attribute lookup finds, kept as the interpreter's specialised bytecode keeps them, made safe
// for C++ by CPython's dictionary and type watchers.
//
// Rules:
//   - An entry records detail::cache_epoch when its fill starts and is used only while the epoch
//     is unchanged. The dictionary it was read from is watched (watch_dict) before it is stored.
//   - The epoch moves on before any change of a watched dictionary takes effect (a key added,
//     changed or deleted, the dict cleared, filled from another or deallocated), when a watched
//     type is changed (an attribute set or deleted on it or a base, its bases replaced), and when
//     the interpreter releases what the runtime keeps (its finalisation). So a value borrowed
//     from a watched dictionary stays alive while an entry holding it is used. An entry that
//     rests on a type's namespace keeps no value borrowed from it: CPython does not promise to
//     report the change before the old value goes.
//   - A type's namespace is changed only through the type (setattr, delattr), which CPython
//     reports; C code that writes into it directly must call PyType_Modified, as CPython requires.
//   - No watcher hears of every object of a kind (a function watcher would run for every function
//     the host makes or frees): what a cache rests on beyond dictionaries and types is compared
//     at each use by its user.
//   - When something cannot be watched (every watcher id of the interpreter is taken, or the
//     interpreter has released the runtime's objects), watch_dict and watch_type return false and
//     nothing is cached: the uncached path is always correct.
#pragma once

#include <cstdint>

#include "pyrt/error.hpp"

namespace pyrt {

namespace detail {
extern std::uint64_t cache_epoch;
}  // namespace detail

// Watches `dict` for the caches; false when it cannot be watched. Called with no error raised.
bool watch_dict(PyObject* dict) noexcept;
// Watches `type` for the caches; false when it cannot be watched. Called with no error raised.
bool watch_type(PyTypeObject* type) noexcept;

}  // namespace pyrt
