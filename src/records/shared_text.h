// A fixed-size text field shared between threads: written whole, read whole.
#pragma once

#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

namespace vek {

template <size_t Capacity>
class SharedText {
 public:
  static constexpr size_t kMaxLength = Capacity - 1;  // room for the terminating NUL

  // Stores the text, cut at the first NUL and at kMaxLength characters.
  void Set(std::string_view text) {
    const size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    if (text.size() > kMaxLength) text = text.substr(0, kMaxLength);
    std::lock_guard lock(mutex_);
    std::memset(text_, 0, Capacity);
    if (!text.empty()) std::memcpy(text_, text.data(), text.size());  // an empty view may hold no pointer
  }
  void Clear() { Set({}); }
  std::string Get() const {
    std::lock_guard lock(mutex_);
    return std::string(text_);
  }
  bool Empty() const {
    std::lock_guard lock(mutex_);
    return text_[0] == '\0';
  }

 private:
  mutable std::mutex mutex_;
  char text_[Capacity] = {};
};

}  // namespace vek
