#include "sim/sim_diag_link.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "records/time_scale.h"

namespace sim {

std::optional<uint32_t> ParseLinkLatencyMs(std::string_view text) {
  constexpr double kMaxMs = 60000.0;
  // Digits and one point only: no sign, exponent, hex, infinity or spaces.
  if (text.empty() || text.size() > 16 || text == ".") return std::nullopt;
  if (text.find_first_not_of("0123456789.") != std::string_view::npos) return std::nullopt;
  if (std::count(text.begin(), text.end(), '.') > 1) return std::nullopt;
  const double ms = std::stod(std::string(text));
  if (ms > kMaxMs) return std::nullopt;
  return static_cast<uint32_t>(std::llround(ms * 1000.0));
}

SimDiagLink::SimDiagLink(const DiagLinkOptions& options)
    : paced_(options.latency_us != 0 || options.service_us != 0 || options.queue != 0),
      queue_limit_(options.queue),
      to_task_(vek::ScaledUs(options.latency_us / 2)),
      to_host_(vek::ScaledUs(options.latency_us - options.latency_us / 2)),
      service_(vek::ScaledUs(options.service_us)) {}

bool SimDiagLink::Admit(DecodedFrame&& frame, TimePoint written) {
  const TimePoint arrival = written + to_task_;
  // Arrivals keep the order of writing, so what the task holds on arrival is known
  // now: every admitted request it will not have finished by then. The first of
  // those is being served, the others wait; the queue bounds them all, as a
  // task's input buffer holds the request it is working on too.
  const auto finished = std::upper_bound(admitted_.begin(), admitted_.end(), arrival,
                                         [](TimePoint when, const Admitted& a) { return when < a.done; });
  const auto held = static_cast<size_t>(admitted_.end() - finished);
  if (queue_limit_ != 0 && held >= queue_limit_) {
    ++dropped_;
    return false;
  }
  const TimePoint start = held == 0 ? arrival : admitted_.back().done;
  admitted_.push_back(Admitted{start + service_, std::move(frame)});
  return true;
}

std::optional<SimDiagLink::Handled> SimDiagLink::TakeHandled(TimePoint now) {
  if (admitted_.empty() || admitted_.front().done > now) return std::nullopt;
  Handled handled{std::move(admitted_.front().frame), admitted_.front().done};
  admitted_.pop_front();
  return handled;
}

std::optional<SimDiagLink::TimePoint> SimDiagLink::NextDone() const {
  if (admitted_.empty()) return std::nullopt;
  return admitted_.front().done;
}

}  // namespace sim
