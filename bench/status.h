// bench/status.h -- how the benchmark's steps report failure: as a value.
#pragma once

#include <string>
#include <utility>

// The outcome of a step: nothing when it worked, otherwise a message that
// says what failed, ready to print after "zqv_bench: ".
class Status {
public:
    static Status Success() { return Status(); }
    static Status Failure(std::string message) { return Status(std::move(message)); }

    bool Ok() const { return message_.empty(); }
    const std::string &Message() const { return message_; }

private:
    Status() = default;
    explicit Status(std::string message) : message_(std::move(message)) {}
    std::string message_;
};
