#include "cli/json.h"

#include <cmath>

namespace {

using Json = nlohmann::ordered_json;

// Compact, UTF-8 kept as it is, invalid bytes replaced by U+FFFD.
std::string Dump(const Json& value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Text built by this file is always valid; anything else becomes null
// rather than an exception.
Json Parse(std::string_view json)
{
    Json value = Json::parse(json, nullptr, false);
    return value.is_discarded() ? Json() : value;
}

}  // namespace

std::string JsonString(std::string_view text)
{
    return Dump(Json(std::string(text)));
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value)
{
    body[std::string(key)] = std::string(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t value)
{
    body[std::string(key)] = value;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, double value)
{
    if (!std::isfinite(value)) return AddNull(key);
    double rounded = std::round(value * 1e6) / 1e6;
    if (rounded == 0) rounded = 0;   // no "-0.0"
    body[std::string(key)] = rounded;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value)
{
    body[std::string(key)] = value;
    return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key)
{
    body[std::string(key)] = nullptr;
    return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json)
{
    body[std::string(key)] = Parse(json);
    return *this;
}

std::string JsonObject::Text() const
{
    return Dump(body);
}

JsonArray& JsonArray::AddRaw(std::string_view json)
{
    body.push_back(Parse(json));
    return *this;
}

std::string JsonArray::Text() const
{
    return Dump(body);
}
