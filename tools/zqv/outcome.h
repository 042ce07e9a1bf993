// tools/zqv/outcome.h -- how a zqv command ends: its exit status and, when it
// failed, the one line that says why.
#pragma once

#include "tools/status.h"

#include <cstdio>
#include <string>

// Every way zqv can end has its own exit status, so scripts can tell them
// apart without reading the message.
enum ExitStatus : int {
    ExitOk = 0,
    ExitNotRecognised = 1, // probe: at least one file is not a ZQV picture
    ExitUsage = 2,         // a wrong command, option or argument count
    ExitCannotRead = 3,    // an input is missing, unreadable or a directory
    ExitCannotWrite = 4,   // the output cannot be written or put in place
    ExitNotBmp = 5,        // encode: the input is not a picture zqv reads
    ExitNoPlugin = 6,      // IFYZQV.SPI cannot be loaded
    ExitTooLarge = 7,      // an input beyond the plug-in's reach (CheckWithinReach)
    ExitSomeFailed = 8,    // check: a picture is not sound; a batch: a file failed
    // One per plug-in result code.
    ExitNotZqv = 10,         // ResultBadFormat
    ExitDamaged = 11,        // ResultBrokenData
    ExitNoMemory = 12,       // ResultNoMemory
    ExitMemoryLock = 13,     // ResultMemoryError
    ExitFileError = 14,      // ResultFileError
    ExitNotProvided = 15,    // ResultNotImplemented
    ExitUnknownResult = 16,  // a code the plug-in does not document
    ExitStopped = 130,       // ResultAborted, or Ctrl-C outside the plug-in
};

// A command's outcome is a Status whose code is the exit status.
inline Status Success() { return Status::Success(); }
inline Status Failure(ExitStatus status, std::string message) { return Status::Failure(std::move(message), status); }

// The host library's failure about subject (a file name, or "standard
// input"), with the exit status given, or ExitStopped when it was stopped.
inline Status Reported(const Status &status, const std::string &subject, ExitStatus failed)
{
    if (status.Ok())
        return status;
    return Failure(status.Code() == Status::Stopped ? ExitStopped : failed, subject + ": " + status.Message());
}

// "zqv: MESSAGE" and a line end when the outcome has a message, else nothing.
inline std::string FailureLine(const Status &outcome)
{
    return outcome.Message().empty() ? std::string() : "zqv: " + outcome.Message() + "\n";
}

// Prints the outcome's FailureLine on standard error.
inline void ReportFailure(const Status &outcome) { std::fputs(FailureLine(outcome).c_str(), stderr); }
