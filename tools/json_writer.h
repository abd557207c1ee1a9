// The --json output of the checking commands: one JSON object per run on standard output,
// for scripts and monitoring. Only what the commands need: strings, numbers, booleans,
// lists of strings and nested objects, written in one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvun::tool {

// text as a JSON string, quotes included. Bytes that are not valid UTF-8 (a file name from
// another system) are written as U+FFFD, so that the output always parses.
std::string JsonString(std::string_view text);

class JsonObject {
  public:
    JsonObject& Add(std::string_view key, std::string_view text);
    JsonObject& Add(std::string_view key, const char* text) {
        return Add(key, std::string_view(text));
    }
    JsonObject& Add(std::string_view key, const std::string& text) {
        return Add(key, std::string_view(text));
    }
    JsonObject& AddNumber(std::string_view key, int64_t number);
    JsonObject& AddBool(std::string_view key, bool value);
    JsonObject& Add(std::string_view key, const std::vector<std::string>& texts);
    JsonObject& Add(std::string_view key, const JsonObject& object);

    std::string Text() const { return "{" + members_ + "}"; }

  private:
    JsonObject& AddRaw(std::string_view key, const std::string& json);
    std::string members_;
};

// Writes object and a line end to standard output.
void PrintJson(const JsonObject& object);

}  // namespace korvun::tool
