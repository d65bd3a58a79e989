#include "nv/nv_window.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "link/hdlc_frame.h"
#include "link/serial_port.h"
#include "protocol/reply_wait.h"
#include "records/protocol_trace.h"
#include "records/reporting.h"
#include "records/stop_wait.h"

namespace vek {
namespace {

using Clock = std::chrono::steady_clock;

uint16_t ItemOf(const uint8_t* packet) { return static_cast<uint16_t>(packet[1] | (packet[2] << 8)); }

bool IsRefusal(uint8_t code) { return code == kNvBadParameters || code == kNvBadSecurityMode; }

bool Names(const NvRequest& request, const uint8_t* named) {
  return NvNamesRequest(request.packet, request.array_element, named);
}

enum class State { kSent, kLost, kDone };

struct Slot {
  NvRequest request;
  State state = State::kSent;
  int sendings = 0;
  uint64_t sent_order = 0;         // of its last sending, among all sendings of the run
  Clock::time_point attempt_end;   // its last sending's answer is late after this
  Clock::time_point limit;         // its 10 000 ms
  bool last_lost_quietly = true;   // its last sending got no answer (not a damaged or other one)
  NvAnswer answer = NvAnswer::kFailed;
  uint8_t reply[kNvRequestLength] = {};
};

}  // namespace

std::optional<NvWindowChoice> NvWindowOf(std::string_view text) {
  if (text == "auto") return NvWindowChoice{1, true};
  if (text.empty() || text.size() > 2 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const int size = text.size() == 1 ? text[0] - '0' : (text[0] - '0') * 10 + (text[1] - '0');
  if (size < 1 || size > kNvWindowMost) return std::nullopt;
  return NvWindowChoice{size, false};
}

NvWindowRun::NvWindowRun(NvWindowChoice choice)
    : window_(choice.automatic ? 1 : std::clamp(choice.size, 1, kNvWindowMost)),
      ceiling_(choice.automatic ? kNvWindowMost : window_),
      automatic_(choice.automatic) {}

NvResult NvWindowRun::Run(const Next& next, const Done& done) {
  std::deque<Slot> slots;  // in the order the requests were made; the answered ones leave from the front
  uint64_t sendings = 0;
  int good_run = 0;  // answers whole, in order and in time since the window last changed
  bool exhausted = false;
  uint8_t frame[kNvFrameCapacity];

  auto send = [&](Slot& slot) {
    const int length = EncodeNvFrame(slot.request.packet, kNvRequestLength, frame);
    const int written = WritePort(DiagPort.load(), frame, length);  // a lost request shows as silence
    if (ProtocolTraceOn()) TraceSent(frame, static_cast<size_t>(length), written == length ? "" : "write failed");
    const auto now = Clock::now();
    if (slot.sendings == 0) slot.limit = now + ScaledMs(kNvReplyLimitMs);
    slot.attempt_end = std::min(now + ScaledMs(kNvAttemptLimitMs[slot.sendings]), slot.limit);
    ++slot.sendings;
    slot.sent_order = ++sendings;
    slot.state = State::kSent;
  };
  // Fewer in flight after a loss: the module's task showed it could not take
  // this many. Auto may grow back, but never again to the size that lost, so it
  // comes to rest at the most the task takes without a loss.
  auto shrink = [&] {
    if (automatic_) ceiling_ = std::max(1, std::min(ceiling_, window_ - 1));
    window_ = std::max(1, window_ / 2);
    good_run = 0;
  };
  auto grow = [&] {
    if (++good_run < window_ || window_ >= ceiling_) return;
    window_ = std::min(window_ * 2, ceiling_);
    good_run = 0;
  };
  // A sending that went unanswered (`quietly`) or was answered damaged or
  // otherwise: sent again while it has sendings and time left. False when the
  // request ran out of both without an answer: the run ends in a time-out.
  auto lost = [&](Slot& slot, bool quietly) {
    slot.last_lost_quietly = quietly;
    ++resent_;
    const size_t limit = std::size(kNvAttemptLimitMs);
    if (static_cast<size_t>(slot.sendings) < limit && Clock::now() < slot.limit) {
      DebugTrace("NV %d: %s, asking again", ItemOf(slot.request.packet), quietly ? "no reply" : "damaged or other reply");
      slot.state = State::kLost;
      return true;
    }
    if (quietly) {
      timed_out_ = slot.request;
      return false;
    }
    slot.state = State::kDone;
    slot.answer = NvAnswer::kFailed;
    return true;
  };
  auto oldest_sent = [&]() -> Slot* {
    Slot* oldest = nullptr;
    for (Slot& slot : slots)
      if (slot.state == State::kSent && (oldest == nullptr || slot.sent_order < oldest->sent_order)) oldest = &slot;
    return oldest;
  };
  // The task answers in the order it reads: every request sent before the one
  // just answered and still without its answer was lost on the way.
  auto answered = [&](Slot& slot, NvAnswer answer, const uint8_t* reply) {
    bool gap = false;
    for (Slot& earlier : slots)
      if (earlier.state == State::kSent && earlier.sent_order < slot.sent_order) {
        if (!lost(earlier, true)) return false;
        gap = true;
      }
    slot.state = State::kDone;
    slot.answer = answer;
    if (reply != nullptr) std::memcpy(slot.reply, reply, kNvRequestLength);
    if (gap) shrink();
    else if (slot.sendings == 1 && Clock::now() <= slot.attempt_end) grow();
    return true;
  };
  auto timed_out = [&](bool interrupted) {
    if (interrupted) timed_out_ = slots.empty() ? NvRequest{} : slots.front().request;
    return NvWaitEnded(interrupted, timed_out_.packet[0] == kNvWriteCommand);
  };

  PurgeDiagPort(kPurgeReceive);
  // The answers follow each other: what comes after one is the next.
  struct KeepingAnswers {
    KeepingAnswers() { KeepBytesAfterFrame(true); }
    ~KeepingAnswers() {
      KeepBytesAfterFrame(false);
      PurgeDiagPort(kPurgeReceive);  // answers to requests the run gave up on
    }
  } keeping;
  for (;;) {
    while (!slots.empty() && slots.front().state == State::kDone) {
      done(slots.front().request, slots.front().answer, slots.front().reply);
      slots.pop_front();
    }
    // One request goes at a time, and what came in is taken between two: answers
    // must not pile up on the port while the window fills (its buffer holds about
    // fifteen), or the module would stall writing them and read nothing more.
    // Requests lost on the way go again first, then new ones, while the window has room.
    const auto in_flight = std::count_if(slots.begin(), slots.end(), [](const Slot& s) { return s.state == State::kSent; });
    bool sent = false;
    if (in_flight < window_) {
      const auto again = std::find_if(slots.begin(), slots.end(), [](const Slot& s) { return s.state == State::kLost; });
      if (again != slots.end()) {
        send(*again);
        sent = true;
      } else if (!exhausted) {
        NvRequest request;
        if (next(request)) {
          slots.push_back(Slot{request});
          send(slots.back());
          sent = true;
        } else {
          exhausted = true;
        }
      }
    }
    if (slots.empty()) {
      if (exhausted) return NV_DONE;
      continue;  // `done` let more requests be made
    }
    Slot* first = oldest_sent();
    if (first == nullptr) continue;  // only lost ones: they go now
    Clock::time_point until = first->attempt_end;
    for (const Slot& slot : slots)
      if (slot.state == State::kSent) until = std::min(until, slot.attempt_end);
    // With room left in the window, only what has come in already is taken.
    if (sent) until = Clock::now();

    switch (AwaitFrame(Deadline::At(until))) {
      case FrameWait::kFrame: break;
      case FrameWait::kStopped:
      case FrameWait::kHungUp: return timed_out(true);
      case FrameWait::kNoFrame: {
        const auto now = Clock::now();
        bool any = false;
        for (Slot& slot : slots)
          if (slot.state == State::kSent && now >= slot.attempt_end) {
            if (!lost(slot, true)) return timed_out(false);
            any = true;
          }
        if (any) shrink();
        continue;
      }
    }
    const uint8_t code = RxFrame.data[0];
    // A damaged frame or another command cannot be told apart: the oldest
    // request waiting goes again, as one request at a time would.
    const bool damaged = !RxFrameCrcValid();
    const bool refusal = !damaged && IsRefusal(code);
    const bool reply = !damaged && !refusal && (code == kNvReadCommand || code == kNvWriteCommand) &&
                       RxFrame.count >= kNvFullReplyCount;
    if (!refusal && !reply) {
      if (!lost(*first, false)) return timed_out(false);
      shrink();
      continue;
    }
    // The oldest request it names: the same item may be asked twice (a restore file that holds it twice).
    Slot* named = nullptr;
    for (Slot& slot : slots)
      if (slot.state != State::kDone &&
          (refusal ? RxFrame.count >= kNvRefusalNamingCount && Names(slot.request, RxFrame.data + 1)
                   : Names(slot.request, RxFrame.data))) {
        named = &slot;
        break;
      }
    // A refusal too short to name its request answers the oldest, as one at a
    // time; one that names a request answered already is a late copy, like a reply.
    if (named == nullptr && refusal && RxFrame.count < kNvRefusalNamingCount) named = first;
    if (named == nullptr) {
      // Late for a request answered already, or the answer to no request: it fits none.
      DebugTrace("NV: dropped a reply for item %d", ItemOf(RxFrame.data));
      shrink();
      continue;
    }
    if (!answered(*named, refusal ? NvAnswer::kRefused : NvAnswer::kAnswered, refusal ? nullptr : RxFrame.data))
      return timed_out(false);
  }
}

}  // namespace vek
