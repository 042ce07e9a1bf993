// tools/status.h -- the host library's one error type: how a step says it
// failed, as a value.
#pragma once

#include <string>
#include <utility>

class Status {
public:
    static constexpr int Failed = 1;  // the code of a failure with no more particular one
    static constexpr int Stopped = 2; // the code of work stopped because its caller asked

    // Success: code 0, no message.
    static Status Success() { return Status(); }

    // A failure: a one-line message saying what failed (no program name) and
    // a code the caller may give a meaning to (zqv's exit statuses); code 0
    // makes it a success after all, so a computed status can be handed back.
    static Status Failure(std::string message, int code = Failed) { return Status(code, std::move(message)); }

    bool Ok() const { return code_ == 0; }
    int Code() const { return code_; }
    const std::string &Message() const { return message_; }

private:
    Status() = default;
    Status(int code, std::string message) : code_(code), message_(std::move(message)) {}

    int code_ = 0;
    std::string message_;
};
