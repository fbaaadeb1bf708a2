// Reading and writing the module namespace, with the globals read on every message kept between
// reads while the namespace is unchanged.
#include <array>
#include <cstdint>

#include "bridge.hpp"
#include "pyrt/watch.hpp"

namespace telegram_bridge {

namespace {
// The globals read on every message (logger, asyncio), kept from one read to the next while
// the namespace is unchanged: it is watched (pyrt/watch.hpp), so a host that rebinds a name is
// seen at the next use, as without the cache.
struct GlobalSlot {
  PyObject* dict = nullptr;   // only compared
  PyObject* name = nullptr;   // only compared: a Name's interned string
  PyObject* value = nullptr;  // borrowed from the namespace, alive while the epoch holds
  std::uint64_t epoch = 0;
};
std::array<GlobalSlot, 8> global_slots;
std::size_t next_global_slot = 0;
}  // namespace

Ref module_global(const Name& name, Where where) {
  PyObject* dict = module_dict(where);
  PyObject* key = name.get().get();
  for (const GlobalSlot& slot : global_slots) {
    if (slot.name == key && slot.dict == dict && slot.epoch == pyrt::detail::cache_epoch) {
      return Ref::borrow(Borrowed(slot.value));
    }
  }
  const std::uint64_t epoch = pyrt::detail::cache_epoch;
  PyObject* value = nullptr;
  int found = PyDict_GetItemRef(dict, key, &value);
  if (found < 0) pyrt::throw_error(where);
  if (found == 0) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    pyrt::throw_error(where);
  }
  Ref result = Ref::steal(value);
  if (pyrt::watch_dict(dict)) {
    // The name's own slot or a stale one, else the next in turn.
    GlobalSlot* slot = nullptr;
    for (GlobalSlot& candidate : global_slots) {
      if (candidate.name == key || candidate.epoch != pyrt::detail::cache_epoch) {
        slot = &candidate;
        break;
      }
    }
    if (slot == nullptr) {
      slot = &global_slots[next_global_slot];
      next_global_slot = (next_global_slot + 1) % global_slots.size();
    }
    *slot = {dict, key, value, epoch};
  }
  return result;
}

void set_module_global(Borrowed name, Borrowed value, Where where) {
  pyrt::require(PyDict_SetItem(module_dict(where), name.get(), value.get()), where);
}

}  // namespace telegram_bridge
