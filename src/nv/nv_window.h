// Several NV requests in flight at once: a window over the link, so that the
// round trip to the module's diagnostic task is paid once for many requests
// rather than once for each. Replies are matched to their requests by command,
// item and (for an array) element, and handed on in the order the requests were
// made, whatever order they come back in.
//
// The module's task may drop requests when its input fills up. A request whose
// answer does not come is asked again as soon as a later request's answer shows
// it was lost (the task answers in the order it reads), or when its own time
// runs out; each request keeps the limits of one at a time: three sendings
// within 10 000 ms. With `auto` the window starts at one request, doubles after
// each window's worth of answers that came back whole, in order and in time, and
// halves at the first loss (a request asked again, or an answer that fits none);
// it grows back, but never again to a size that lost a request, so it comes to
// rest at the most requests the task takes without dropping one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "nv/nv_exchange.h"

namespace vek {

inline constexpr int kNvWindowMost = 16;

// --nv-window: a fixed number of requests in flight, or `auto`.
struct NvWindowChoice {
  int size = 1;            // the fixed size, or where auto starts
  bool automatic = false;
};

// "1" ... "16" or "auto"; nothing for anything else.
std::optional<NvWindowChoice> NvWindowOf(std::string_view text);

// One request of a run, as the caller makes it.
struct NvRequest {
  uint8_t packet[kNvRequestLength] = {};
  bool array_element = false;  // matched by its element index (byte 3) too
};

// How a request ended: answered (its reply in `reply`), refused (0x14 or
// 0x42), or answered otherwise each of the three times it was sent.
enum class NvAnswer { kAnswered, kRefused, kFailed };

class NvWindowRun {
 public:
  explicit NvWindowRun(NvWindowChoice choice);

  // Asks `next` for requests (false: none are left) while fewer than the window
  // are in flight, and hands each answer to `done`, in the order the requests
  // were made. NV_DONE when every request was answered; NV_TIMEOUT when one went
  // 10 000 ms without its answer, or the wait was cut short (NvWaitInterrupted).
  using Next = std::function<bool(NvRequest&)>;
  using Done = std::function<void(const NvRequest&, NvAnswer, const uint8_t* reply)>;
  NvResult Run(const Next& next, const Done& done);

  // The request that timed out, after NV_TIMEOUT.
  const NvRequest& timed_out() const { return timed_out_; }
  // The window now: where auto settled, or the fixed size.
  int window() const { return window_; }
  // Requests sent again (a lost request or answer, a damaged or other reply).
  int resent() const { return resent_; }

 private:
  int window_, ceiling_;
  bool automatic_;
  int resent_ = 0;
  NvRequest timed_out_;
};

}  // namespace vek
