// Reading vek-cli's event stream back, as vek-factory and the tests do: events
// and fields a reader does not know are skipped, as the stream's readers must.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vekevents {

// One line of the stream: nothing unless it is a JSON object with a text "type".
std::optional<nlohmann::json> ReadEvent(std::string_view line);

// The event's type ("" when it has none).
std::string TypeOf(const nlohmann::json& event);
// A text field; "" when it is absent or not a text.
std::string TextOf(const nlohmann::json& event, const char* field);
// A whole-number field; `otherwise` when it is absent or not a whole number.
int NumberOf(const nlohmann::json& event, const char* field, int otherwise);

}  // namespace vekevents
