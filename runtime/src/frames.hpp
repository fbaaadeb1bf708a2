// Debug builds: what the allocation of frames (frame_allocation.cpp) records for the check of
// suspended frames (frame_checks.cpp).
#pragma once

#include <cstddef>
#include <unordered_map>
#include <unordered_set>

#include "internal.hpp"

namespace pyrt {

#ifdef PYRT_TRACK_REFS
// Debug builds: the Refs made while a coroutine body runs, and the C++ child frames with the
// coroutine they were made in. Plain pointers in never-destroyed containers: they own nothing.
inline std::unordered_set<const void*>& tracked_refs() {
  static auto* refs = new std::unordered_set<const void*>();
  return *refs;
}
struct ChildFrame {
  std::size_t size;
  CoroObject* owner;
};
inline std::unordered_map<const void*, ChildFrame>& child_frames() {
  static auto* frames = new std::unordered_map<const void*, ChildFrame>();
  return *frames;
}
#endif

}  // namespace pyrt
