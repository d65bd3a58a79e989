#include "events/event_reader.h"

#include "events/event_schema.h"

namespace vekevents {

std::optional<nlohmann::json> ReadEvent(std::string_view line) {
  nlohmann::json event = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
  if (event.is_discarded() || !event.is_object()) return std::nullopt;
  const auto type = event.find(field::kType);
  if (type == event.end() || !type->is_string()) return std::nullopt;
  return event;
}

std::string TypeOf(const nlohmann::json& event) { return TextOf(event, field::kType); }

std::string TextOf(const nlohmann::json& event, const char* name) {
  if (!event.is_object()) return {};
  const auto found = event.find(name);
  return found != event.end() && found->is_string() ? found->get<std::string>() : std::string();
}

int NumberOf(const nlohmann::json& event, const char* name, int otherwise) {
  if (!event.is_object()) return otherwise;
  const auto found = event.find(name);
  if (found == event.end() || !found->is_number_integer()) return otherwise;
  const auto value = found->get<int64_t>();
  return value >= INT32_MIN && value <= INT32_MAX ? static_cast<int>(value) : otherwise;
}

}  // namespace vekevents
