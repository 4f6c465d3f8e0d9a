// Just enough JSON for the front end's newline-delimited events, on top of
// nlohmann-json: escaping, numbers and UTF-8 are the library's.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

// A JSON string literal, quotes included.  Control characters are escaped;
// bytes that are not valid UTF-8 become U+FFFD, so the output is always
// valid JSON whatever a device name holds.
std::string JsonString(std::string_view text);

// Builds one object: JsonObject().Add("event", "row").Add("row", 3).Text()
// Keys keep the order in which they were added.
class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view value);
    JsonObject& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
    JsonObject& Add(std::string_view key, const std::string& value) { return Add(key, std::string_view(value)); }
    JsonObject& Add(std::string_view key, std::int64_t value);
    JsonObject& Add(std::string_view key, int value) { return Add(key, static_cast<std::int64_t>(value)); }
    JsonObject& Add(std::string_view key, std::uint32_t value) { return Add(key, static_cast<std::int64_t>(value)); }
    JsonObject& Add(std::string_view key, double value);   // at most six decimal places; not finite: null
    JsonObject& Add(std::string_view key, bool value);
    JsonObject& AddNull(std::string_view key);
    JsonObject& AddRaw(std::string_view key, std::string_view json);   // an object or array already built
    std::string Text() const;

private:
    nlohmann::ordered_json body = nlohmann::ordered_json::object();
};

// An array of already built values.
class JsonArray {
public:
    JsonArray& AddRaw(std::string_view json);
    std::string Text() const;

private:
    nlohmann::ordered_json body = nlohmann::ordered_json::array();
};
