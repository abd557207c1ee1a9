#include "json_writer.h"

#include <cstdio>

namespace korvun::tool {

namespace {

// Length of the UTF-8 sequence starting at text[at], or 0 when it is not a valid one.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (size_t at = 0; at < text.size();) {
        char c = text[at];
        size_t length = Utf8SequenceLength(text, at);
        if (length == 0) {
            json += "\\ufffd";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            json += escaped;
        } else {
            json.append(text.substr(at, length));
        }
        at += length;
    }
    return json + "\"";
}

JsonObject& JsonObject::AddRaw(std::string_view key, const std::string& json) {
    if (!members_.empty()) members_ += ",";
    members_ += JsonString(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) {
    return AddRaw(key, JsonString(text));
}

JsonObject& JsonObject::AddNumber(std::string_view key, int64_t number) {
    return AddRaw(key, std::to_string(number));
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
    return AddRaw(key, value ? "true" : "false");
}

JsonObject& JsonObject::Add(std::string_view key, const std::vector<std::string>& texts) {
    std::string json = "[";
    for (size_t i = 0; i < texts.size(); ++i) json += (i ? "," : "") + JsonString(texts[i]);
    return AddRaw(key, json + "]");
}

JsonObject& JsonObject::Add(std::string_view key, const JsonObject& object) {
    return AddRaw(key, object.Text());
}

void PrintJson(const JsonObject& object) { std::printf("%s\n", object.Text().c_str()); }

}  // namespace korvun::tool
