// The codecs' yield, every few hundred bytes: a pass of the thread's loop, or nothing at all
// when the library's own loop has just found that its next few quick passes would do nothing.
#pragma once

#include "postwing/event_loop.hpp"

namespace postwing::platform {

// Quick passes of this thread's poll loop that may be skipped: granted by a quick pass that
// found nothing due (as many as take a few microseconds), taken back by anything on this
// thread that may give a pass work (a watch, a timer, a post, another loop, a waiting pass).
// initial-exec: read at a fixed offset from the thread pointer, no call.
extern thread_local constinit int quick_pass_credit __attribute__((tls_model("initial-exec")));

inline void Yield() {
  if (quick_pass_credit > 0) {
    --quick_pass_credit;
    return;
  }
  DoEvents();
}

}  // namespace postwing::platform
