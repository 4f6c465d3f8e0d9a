#include "cli/json.h"

#include <cmath>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0.
std::size_t Utf8Length(std::string_view text, std::size_t i)
{
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t n = 0;
    std::uint32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    std::uint32_t cp = b0 & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c == '\n') {
            out += "\\n";
            ++i;
        } else if (c == '\t') {
            out += "\\t";
            ++i;
        } else if (c == '\r') {
            out += "\\r";
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t n = Utf8Length(text, i); n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
    return out;
}

void JsonObject::Key(std::string_view key)
{
    if (body.size() > 1) body += ',';
    body += JsonString(key);
    body += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value)
{
    Key(key);
    body += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t value)
{
    Key(key);
    body += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, double value)
{
    Key(key);
    if (!std::isfinite(value)) {
        body += "null";
    } else {
        // Plain decimal notation, at most six places, no trailing zeros.
        char number[64];
        std::snprintf(number, sizeof number, "%.6f", value);
        std::string text = number;
        if (text.find('.') != std::string::npos) {
            while (text.back() == '0') text.pop_back();
            if (text.back() == '.') text.pop_back();
        }
        if (text == "-0") text = "0";
        body += text;
    }
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value)
{
    Key(key);
    body += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key)
{
    Key(key);
    body += "null";
    return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json)
{
    Key(key);
    body.append(json);
    return *this;
}

JsonArray& JsonArray::AddRaw(std::string_view json)
{
    if (body.size() > 1) body += ',';
    body.append(json);
    return *this;
}
