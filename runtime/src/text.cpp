#include "pyrt/text.hpp"

#include <algorithm>
#include <cstring>

namespace pyrt {

Ref prefix(Borrowed text, Py_ssize_t count, Where where) {
  Py_ssize_t length = PyUnicode_GetLength(text.get());
  if (length < 0) throw_error(where);
  if (length <= count) return Ref::borrow(text);
  return require(PyUnicode_Substring(text.get(), 0, count), where);
}

namespace {
// Copies `count` characters of one width into a wider string, as CPython widens them (inline:
// PyUnicode_CopyCharacters costs about 3,000 instructions a message more on the bridge's path).
template <class From, class To>
void widen(const void* from, void* to, Py_ssize_t count) noexcept {
  const auto* source = static_cast<const From*>(from);
  auto* target = static_cast<To*>(to);
  for (Py_ssize_t i = 0; i < count; ++i) target[i] = source[i];
}
}  // namespace

Ref concat(std::initializer_list<Borrowed> parts, Where where) {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  for (Borrowed part : parts) {
    // As `str + other` words it, so a non-str fails like the same code written in Python.
    if (!PyUnicode_Check(part.get())) {
      PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                   part.type()->tp_name);
      throw_error(where);
    }
    Py_ssize_t part_length = PyUnicode_GET_LENGTH(part.get());
    if (part_length > PY_SSIZE_T_MAX - length) {
      PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
      throw_error(where);
    }
    length += part_length;
    max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(part.get()));
  }
  // The characters themselves, as `+` takes them (a str subclass's __str__ plays no part), into
  // a new string of the widest part's width: what a chain of `+` makes, without the writer's
  // bookkeeping.
  Ref result = require(PyUnicode_New(length, max_char), where);
  const int kind = PyUnicode_KIND(result.get());
  char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
  for (Borrowed part : parts) {
    Py_ssize_t count = PyUnicode_GET_LENGTH(part.get());
    const void* source = PyUnicode_DATA(part.get());
    const int part_kind = PyUnicode_KIND(part.get());
    if (part_kind == kind) {
      std::memcpy(data, source, static_cast<std::size_t>(count) * static_cast<std::size_t>(kind));
    } else if (kind == PyUnicode_2BYTE_KIND) {
      widen<Py_UCS1, Py_UCS2>(source, data, count);
    } else if (part_kind == PyUnicode_1BYTE_KIND) {
      widen<Py_UCS1, Py_UCS4>(source, data, count);
    } else {
      widen<Py_UCS2, Py_UCS4>(source, data, count);
    }
    data += count * kind;
  }
  return result;
}

}  // namespace pyrt
