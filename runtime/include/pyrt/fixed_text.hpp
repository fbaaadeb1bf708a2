// A string literal as a template argument: pyrt::text<"..."> (a str made once per text) and the
// names of steps (Task<void, "name">) take their texts this way, so that only a literal fits.
#pragma once

#include <cstddef>

namespace pyrt::detail {

template <std::size_t N>
struct FixedText {
  constexpr FixedText(const char (&text)[N]) noexcept {  // NOLINT: converts from the literal
    for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
  }
  char chars[N] = {};
};

}  // namespace pyrt::detail
