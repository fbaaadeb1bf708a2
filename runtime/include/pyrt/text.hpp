// Python text from C++: fixed texts (`text<"...">()`), UTF-8 strings, `str()`, and the string
// operations the bridge's hot path needs (concatenation, a prefix). Each throws PyError on failure.
#pragma once

#include <initializer_list>

#include "pyrt/error.hpp"
#include "pyrt/fixed_text.hpp"
#include "pyrt/interned.hpp"
#include "pyrt/where.hpp"

namespace pyrt {

inline Ref str(Borrowed object, Where where = Where::current()) {
  return require(PyObject_Str(object.get()), where);
}
inline Ref string(const char* utf8, Where where = Where::current()) {
  return require(PyUnicode_FromString(utf8), where);
}
// The str of a fixed text given as a template argument, `pyrt::text<"...">()`, made once per
// interpreter lifetime and kept while it lives (a Name of its own): only a literal fits, so a
// text can never be confused with another at the same address.
template <detail::FixedText Text>
Borrowed text() {
  static constinit const Name name(Text.chars);
  return name.get();
}
// The first `count` code points of a str (the whole string when shorter).
Ref prefix(Borrowed text, Py_ssize_t count, Where where = Where::current());
// Concatenates str objects.
Ref concat(std::initializer_list<Borrowed> parts, Where where = Where::current());

}  // namespace pyrt
