// The texts of a record's location as str objects, made once per text.
//
// A record names the module's source file and the running step or function. Those texts exist
// for the process's lifetime and are few (one per source file and per named function), so each
// str is made once per interpreter lifetime and kept by the interpreter. They are found by the
// text's address, and a hit is checked against the text itself: a different text at an address
// seen before (a name that was not static after all) gets a str of its own, never an earlier one.
#include <array>
#include <cstdint>
#include <cstring>

#include "bridge.hpp"

namespace telegram_bridge {

namespace {

struct Slot {
  const char* text;  // only compared
  PyObject* str;     // kept by the interpreter (pyrt::detail::keep)
  const char* utf8;  // the str's own UTF-8 characters, as long as it lives
  std::size_t size;  // their number
};
constexpr int slot_bits = 6;
std::array<Slot, std::size_t{1} << slot_bits> slots;
std::uint32_t slots_generation = 0;

std::size_t home_of(const char* text) noexcept {
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(text));
  return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ULL) >> (64 - slot_bits));
}

bool spells(const Slot& slot, const char* text) noexcept {
  return std::strncmp(slot.utf8, text, slot.size) == 0 && text[slot.size] == '\0';
}

}  // namespace

Ref location_text(const char* text, Where where) {
  if (slots_generation != pyrt::detail::interpreter_generation) {
    slots = {};  // made for a finalised interpreter: never touched
    slots_generation = pyrt::detail::interpreter_generation;
  }
  for (std::size_t probe = 0, i = home_of(text); probe < slots.size();
       ++probe, i = (i + 1) % slots.size()) {
    Slot& slot = slots[i];
    if (slot.text == text) {
      if (spells(slot, text)) return Ref::borrow(Borrowed(slot.str));
      break;
    }
    if (slot.text == nullptr) {
      PyObject* str = pyrt::detail::keep(PyUnicode_InternFromString(text), where);
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);  // cached in the str
      if (utf8 == nullptr) pyrt::throw_error(where);
      slot = {text, str, utf8, static_cast<std::size_t>(size)};
      return Ref::borrow(Borrowed(slot.str));
    }
  }
  // A reused address or a full table: a str of its own, not kept.
  return pyrt::string(text, where);
}

}  // namespace telegram_bridge
