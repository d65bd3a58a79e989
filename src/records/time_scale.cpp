#include "records/time_scale.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vek {

std::optional<double> ParseTimeScale(std::string_view text) {
  if (text.empty() || text.size() > 32) return std::nullopt;
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(copy.c_str(), &end);
  if (errno != 0 || end != copy.c_str() + copy.size()) return std::nullopt;
  if (!std::isfinite(value) || value <= 0.0) return std::nullopt;
  return value;
}

double TimeScale() {
  static const double scale = [] {
    const char* text = std::getenv("VEK_TIME_SCALE");
    if (text == nullptr || *text == '\0') return 1.0;
    if (auto value = ParseTimeScale(text)) return *value;
    std::fprintf(stderr, "VEK_TIME_SCALE=\"%.32s\" is not a positive number; using 1\n", text);
    return 1.0;
  }();
  return scale;
}

Clock::duration ScaledMs(uint32_t milliseconds) {
  const double micros = static_cast<double>(milliseconds) * 1000.0 * TimeScale();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::micro>(micros));
}

Clock::duration ScaledUs(uint64_t microseconds) {
  const double micros = static_cast<double>(microseconds) * TimeScale();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::micro>(micros));
}

Clock::duration Deadline::Remaining() const {
  auto left = when_ - Clock::now();
  return left > Clock::duration::zero() ? left : Clock::duration::zero();
}

}  // namespace vek
