// How the frames of coroutine bodies and steps are laid out in memory, shared by their allocation
// (frame_allocation.cpp) and the debug builds' check of suspended frames (frame_checks.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "internal.hpp"

namespace pyrt {

// Precedes every frame, keeping the alignment operator new promises.
struct alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) FrameHeader {
  bool in_object;        // freed with its coroutine object
  std::size_t size = 0;  // of the frame that follows
};

// Where a body's frame header starts inside a coroutine object with `count` arguments.
inline std::size_t frame_offset(Py_ssize_t count) {
  std::size_t end = sizeof(CoroObject) + static_cast<std::size_t>(count) * sizeof(PyObject*);
  return (end + alignof(FrameHeader) - 1) / alignof(FrameHeader) * alignof(FrameHeader);
}

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
