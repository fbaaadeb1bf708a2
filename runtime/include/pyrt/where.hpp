// Where a call was written, captured as a defaulted last parameter: `Where where =
// Where::current()` costs nothing until an error or a log record needs it.
//
// std::source_location where the standard library has it. Older libraries (libstdc++ 10, which
// the portable wheels are built against) lack <source_location>; there the compilers' own
// builtins, which GCC, Clang and MSVC all provide, give the same file and line. Nothing is named
// after function_name(), whose text differs per compiler.
#pragma once

#include <cstdint>
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace pyrt {

#if defined(__cpp_lib_source_location)
using Where = std::source_location;
#else
class Where {
 public:
  constexpr Where() noexcept = default;
  // The builtins in the default arguments name the call site of current(), and so the call site
  // of the function whose default argument calls it.
  static constexpr Where current(const char* file = __builtin_FILE(),
                                 const char* function = __builtin_FUNCTION(),
                                 std::uint_least32_t line = __builtin_LINE()) noexcept {
    Where where;
    where.file_ = file;
    where.function_ = function;
    where.line_ = line;
    return where;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr std::uint_least32_t column() const noexcept { return 0; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  std::uint_least32_t line_ = 0;
};
#endif

}  // namespace pyrt
