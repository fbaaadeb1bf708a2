// Debug builds: a chain of frames that suspends may hold no owning reference the cycle collector
// cannot see (pyrt/ref.hpp's rule), checked at every suspension.
#include <cstdio>
#include <cstdlib>
#include <unordered_set>
#include <vector>

#include "frames.hpp"

namespace pyrt {

#ifdef PYRT_TRACK_REFS
void check_suspended_frames(CoroObject* root) noexcept {
  struct Range {
    const char* begin;
    const char* end;
    CoroObject* coro;
  };
  std::vector<Range> ranges;
  std::unordered_set<const void*> visible;  // what tp_traverse visits
  for (CoroObject* coro = root;; coro = as_coro(coro->f.awaited.get())) {
    for (const auto& [frame, child] : child_frames()) {
      const auto* begin = static_cast<const char*>(frame);
      if (child.owner == coro) ranges.push_back({begin, begin + child.size, coro});
    }
    for (detail::LocalNode* node = coro->f.locals.next; node != &coro->f.locals;
         node = node->next) {
      visible.insert(&node->ref);
    }
    for (const Handling* handling = coro->f.handling; handling != nullptr;
         handling = handling->outer()) {
      visible.insert(&handling->exception_ref());
    }
    if (coro->f.promise != nullptr) {
      visible.insert(&coro->f.promise->result);
      visible.insert(&coro->f.promise->error);
    }
    if (!coro->f.awaited_is_link) break;
  }
  for (const void* address : tracked_refs()) {
    const auto* ref = static_cast<const Ref*>(address);
    if (!*ref || visible.contains(address)) continue;
    for (const Range& range : ranges) {
      const auto* at = static_cast<const char*>(address);
      if (at < range.begin || at >= range.end) continue;
      const char* name = PyUnicode_Check(range.coro->f.qualname.get())
                             ? PyUnicode_AsUTF8(range.coro->f.qualname.get())
                             : nullptr;
      std::fprintf(stderr,
                   "pyrt: coroutine %s suspended holding a plain owning reference to a '%s' "
                   "object at offset %td of a frame, invisible to the cycle collector; hold it "
                   "in a pyrt::Local\n",
                   name != nullptr ? name : "?", ref->type()->tp_name, at - range.begin);
      std::abort();
    }
  }
}
#endif

}  // namespace pyrt
