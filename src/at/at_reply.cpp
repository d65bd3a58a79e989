#include "at/at_reply.h"

#include <cstring>

namespace vek {

std::string_view ReplyText(const char* reply, size_t size) {
  if (reply == nullptr) return {};
  const void* nul = std::memchr(reply, '\0', size);
  return std::string_view(reply, nul ? static_cast<const char*>(nul) - reply : size);
}

bool ReplyHas(std::string_view reply, std::string_view keyword) {
  return reply.find(keyword) != std::string_view::npos;
}

std::string ReplyValue(std::string_view reply, std::string_view keyword) {
  const size_t at = reply.find(keyword);
  if (at == std::string_view::npos) return {};
  std::string_view value = reply.substr(at + keyword.size());
  const size_t end = value.find("\r\n");
  if (end != std::string_view::npos) value = value.substr(0, end);
  if (value.size() > kAtValueMaxLength) value = value.substr(0, kAtValueMaxLength);
  return std::string(value);
}

bool ReplyFinished(std::string_view reply) {
  const size_t end = reply.find_last_not_of(" \t\r\n");
  if (end == std::string_view::npos) return false;
  reply = reply.substr(0, end + 1);
  const size_t line_start = reply.find_last_of("\r\n");
  const std::string_view last = line_start == std::string_view::npos ? reply : reply.substr(line_start + 1);
  return last == "OK" || last == "ERROR" || last.rfind("+CME ERROR", 0) == 0 || last.rfind("+CMS ERROR", 0) == 0;
}

int ProductIdOfText(std::string_view text) {
  if (text.size() > kProductIdMaxDigits) text = text.substr(0, kProductIdMaxDigits);
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int value = 0;  // nine digits at most: never overflows
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
  return negative ? -value : value;
}

ProductIds ParseProductIds(std::string_view value) {
  const size_t comma = value.find(',');
  if (comma == std::string_view::npos) return {ProductIdOfText(value), 0};
  return {ProductIdOfText(value.substr(0, comma)), ProductIdOfText(value.substr(comma + 1))};
}

}  // namespace vek
