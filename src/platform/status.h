// The result of an engine step that the player may have to be told about: success, or a
// failure with the message text and, once the update layer has chosen it, the player's code,
// kept apart so that whoever shows it decides how. Below the update layer the text is the
// reason in the operator's words and the code stays empty.
#pragma once

#include <string>
#include <utility>

namespace korvun {

class Status {
  public:
    Status() = default;  // success
    static Status Success() { return Status(); }
    // A failure; text may be empty for a failure that has nothing to tell the player.
    static Status Failure(std::string text, std::string code = {}) {
        Status status;
        status.failed_ = true;
        status.text_ = std::move(text);
        status.code_ = std::move(code);
        return status;
    }

    bool Ok() const { return !failed_; }
    explicit operator bool() const { return !failed_; }
    const std::string& Text() const { return text_; }
    const std::string& Code() const { return code_; }
    // The text as the player sees it: the code follows the text directly.
    std::string Message() const { return text_ + code_; }

  private:
    bool failed_ = false;
    std::string text_;
    std::string code_;
};

}  // namespace korvun
