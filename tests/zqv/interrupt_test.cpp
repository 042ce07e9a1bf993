// Ctrl-C and the progress bar, natively: zqv runs with its standard error on
// a pseudo-terminal, as in a user's shell. The test waits until the bar is
// drawn -- so the conversion is under way, for decode inside the plug-in's
// GetPicture -- then sends SIGINT.
//
// Not in the win32 build: wine gives no reliable way to deliver a console
// Ctrl-C event to a child process, nor a console for its standard error.
#include "tests/zqv/cli_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int StoppedStatus = 130;
constexpr int WaitForBarMs = 60000;

// A child with a pseudo-terminal as its standard error.
class TerminalChild {
public:
    explicit TerminalChild(const std::vector<std::string> &arguments)
    {
        terminal_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0)
            return;
        std::string program = ZqvPath();
        std::vector<std::string> copies(arguments);
        std::vector<char *> argv{program.data()};
        for (std::string &argument : copies)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, ptsname(terminal_), O_RDWR | O_NOCTTY, 0);
        if (posix_spawn(&child_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            child_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~TerminalChild()
    {
        if (child_ > 0)
            Wait();
        if (terminal_ >= 0)
            close(terminal_);
    }

    bool Started() const { return child_ > 0; }

    // Reads the terminal until text shows up; false on timeout or end.
    bool WaitFor(const std::string &text, int timeoutMs)
    {
        while (seen_.find(text) == std::string::npos) {
            pollfd readable{terminal_, POLLIN, 0};
            if (poll(&readable, 1, timeoutMs) <= 0 || !ReadSome())
                return false;
        }
        return true;
    }

    void Signal(int signal) { kill(child_, signal); }

    pid_t Id() const { return child_; }

    // Waits at most timeoutMs for the child, reading the terminal meanwhile
    // so the child never blocks on a full one; false if it still runs then,
    // else *exitStatus is its exit status.
    bool WaitAtMost(int timeoutMs, int *exitStatus)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(child_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            pollfd readable{terminal_, POLLIN, 0};
            if (poll(&readable, 1, std::min(timeoutMs, 10)) > 0)
                ReadSome();
        }
        while (ReadAvailable())
            ;
        child_ = -1;
        *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    // Waits for the child and returns its exit status.
    int Wait()
    {
        int status = -1;
        WaitAtMost(INT_MAX, &status);
        return status;
    }

    const std::string &Seen() const { return seen_; }

private:
    bool ReadSome()
    {
        char buffer[4096];
        ssize_t got = read(terminal_, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        seen_.append(buffer, static_cast<size_t>(got));
        return true;
    }

    bool ReadAvailable()
    {
        pollfd readable{terminal_, POLLIN, 0};
        return poll(&readable, 1, 0) > 0 && ReadSome();
    }

    int terminal_ = -1;
    pid_t child_ = -1;
    std::string seen_;
};

// Noise does not compress: the container is as large as the picture, and
// the plug-in reads it in many chunks, reporting progress after each.
Bytes LargeNoisyBmp() { return MakeNoisyBmp(3000, 3000, 11); }

struct InterruptCase {
    const char *description;
    const char *command;
    bool inputIsContainer;
    const char *batchOutput; // the batch form's output for "input" in the scratch directory; null: single form
    int signal;              // what stops it: SIGINT is Ctrl-C
};

const InterruptCase InterruptCases[] = {
    {"decode, stopped through the plug-in's progress callback", "decode", true, nullptr, SIGINT},
    {"encode, stopped between compression slices", "encode", false, nullptr, SIGINT},
    {"decode -o, a batch stopped inside a picture", "decode", true, "input.bmp", SIGINT},
    {"encode -o, a batch stopped inside a picture", "encode", false, "input.zqv", SIGINT},
    {"decode -o, a batch whose terminal hangs up", "decode", true, "input.bmp", SIGHUP},
    {"encode -o, a batch told to terminate", "encode", false, "input.zqv", SIGTERM},
};

TEST(Interrupt, CtrlCAndOtherStopsCleanUp)
{
    const Bytes bmp = LargeNoisyBmp();
    const Bytes container = WrapZqv(bmp, 1);
    const Bytes precious = {'o', 'l', 'd'};
    for (const InterruptCase &testCase : InterruptCases) {
        ScratchDirectory scratch;
        std::string input = scratch.Put("input", testCase.inputIsContainer ? container : bmp);
        std::string output = scratch.Put(testCase.batchOutput ? testCase.batchOutput : "output", precious);
        std::vector<std::string> entriesBefore = scratch.Entries();

        std::vector<std::string> arguments{testCase.command, input, output};
        if (testCase.batchOutput)
            arguments = {testCase.command, "--force", "-o", scratch.Path(), input};
        TerminalChild child(arguments);
        ASSERT_TRUE(child.Started()) << testCase.description << ": zqv did not start";
        ASSERT_TRUE(child.WaitFor("%", WaitForBarMs))
            << testCase.description << ": no progress bar on the terminal; it showed \"" << child.Seen() << "\"";
        child.Signal(testCase.signal);
        int status = child.Wait();

        EXPECT_EQ(status, StoppedStatus) << testCase.description << "; the terminal showed \"" << child.Seen()
                                         << "\"";
        EXPECT_NE(child.Seen().find("stopped"), std::string::npos)
            << testCase.description << ": expected a \"stopped\" message, the terminal showed \"" << child.Seen()
            << "\"";
        EXPECT_EQ(ReadWholeFile(output), precious) << testCase.description << ": the existing output changed";
        EXPECT_EQ(scratch.Entries(), entriesBefore) << testCase.description << ": a temporary file was left behind";
    }
}

// A batch to share out: pictures p0.zqv... in the folder in, over 1 MB of
// containers in all (worth a bar), and an empty folder out. Each is 190 MB
// from a container of 190 KB: it takes a good while to decode and write, and
// a decode is all that a stop can catch in time.
struct LargeBatch {
    static constexpr int Inputs = 6;
    ScratchDirectory scratch;
    std::string in = scratch.File("in");
    std::string out = scratch.File("out");

    LargeBatch()
    {
        std::filesystem::create_directories(in);
        std::filesystem::create_directories(out);
        const Bytes container = WrapZqv(MakeBlackBmp(8000, 8000, 24), 1);
        for (int input = 0; input < Inputs; ++input)
            scratch.Put("in/p" + std::to_string(input) + ".zqv", container);
    }
};

// Ctrl-C to a batch shared out over two workers: every worker stops, and
// the existing outputs are left as they were, nothing half-written.
TEST(Interrupt, CtrlCStopsEveryWorkerOfASharedOutBatch)
{
    constexpr int Inputs = LargeBatch::Inputs;
    const Bytes precious = {'o', 'l', 'd'};
    LargeBatch batch;
    const std::string &out = batch.out;
    for (int input = 0; input < Inputs; ++input)
        batch.scratch.Put("out/p" + std::to_string(input) + ".bmp", precious);
    TerminalChild child({"decode", "-j", "2", "--force", "-r", "-o", out, batch.in});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitFor("%", WaitForBarMs)) << "no progress bar; the terminal showed \"" << child.Seen() << "\"";
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(), StoppedStatus) << "the terminal showed \"" << child.Seen() << "\"";
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(out))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left.size(), size_t(Inputs)) << "a temporary file was left behind, or an output lost";
    // Only zqv itself was signalled, as by kill: it passes the stop on, and
    // the two pictures under way stop well before they are done.
    for (int input = 0; input < Inputs; ++input)
        EXPECT_TRUE(ReadWholeFile(out + "/p" + std::to_string(input) + ".bmp") == precious)
            << "p" << input << ".bmp was written after the stop, or is half-written; the terminal showed \""
            << child.Seen() << "\"";
}

// The process whose temporary output file (".zqv-PROCESS-SERIAL.tmp") is in
// directory, other than notOf; 0 when there is none.
pid_t WriterOfTemporaryIn(const std::string &directory, pid_t notOf)
{
    const std::string stem = ".zqv-";
    for (const auto &entry : std::filesystem::directory_iterator(directory)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(stem, 0) != 0)
            continue;
        pid_t writer = static_cast<pid_t>(std::atoi(name.c_str() + stem.size()));
        if (writer != notOf)
            return writer;
    }
    return 0;
}

// A worker stopped (SIGSTOP) in the middle of writing an output, as a hung
// one, does not hold a stopped batch: Ctrl-C ends it, the worker killed once
// the grace for winding down is over, and its temporary file is removed.
TEST(Interrupt, CtrlCEndsABatchWhoseWorkerIsStoppedAndLeavesNoTemporaryFile)
{
    constexpr int GenerousMs = 120000; // far longer than the batch and the grace: only a hang takes it
    LargeBatch batch; // its outputs long in the writing, each seen as a temporary file meanwhile
    const std::string &out = batch.out;
    TerminalChild child({"decode", "-j", "2", "-r", "-o", out, batch.in});
    ASSERT_TRUE(child.Started());
    pid_t stopped = 0;
    int status = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (stopped == 0 && std::chrono::steady_clock::now() < deadline && !child.WaitAtMost(1, &status))
        if ((stopped = WriterOfTemporaryIn(out, child.Id())) != 0)
            kill(stopped, SIGSTOP);
    ASSERT_NE(stopped, 0) << "no worker was seen writing; the terminal showed \"" << child.Seen() << "\"";

    child.Signal(SIGINT);
    bool ended = child.WaitAtMost(GenerousMs, &status);
    if (!ended) {
        kill(stopped, SIGKILL);
        child.Signal(SIGKILL);
        child.Wait();
    }
    ASSERT_TRUE(ended) << "Ctrl-C did not end the batch; the terminal showed \"" << child.Seen() << "\"";
    EXPECT_EQ(status, StoppedStatus) << "the terminal showed \"" << child.Seen() << "\"";
    EXPECT_NE(child.Seen().find("ended without an answer (killed, as it had not stopped"), std::string::npos)
        << "the terminal showed \"" << child.Seen() << "\"";
    EXPECT_EQ(WriterOfTemporaryIn(out, 0), 0) << "a temporary file was left in " << out;
}

struct BarCase {
    const char *description;
    std::vector<std::string> options;
    size_t pictureWidth;
    bool barExpected;
};

const BarCase BarCases[] = {
    {"a large picture", {}, 1000, true},
    {"a large picture with --quiet", {"--quiet"}, 1000, false},
    {"a small picture", {}, 40, false},
};

TEST(ProgressBar, ShownOnATerminalForLargePicturesUnlessQuiet)
{
    for (const BarCase &testCase : BarCases) {
        for (const char *command : {"encode", "decode"}) {
            ScratchDirectory scratch;
            Bytes bmp = MakeNoisyBmp(static_cast<int32_t>(testCase.pictureWidth), 500, 3);
            bool decoding = std::string(command) == "decode";
            std::string input = scratch.Put("input", decoding ? WrapZqv(bmp, 1) : bmp);
            std::vector<std::string> arguments{command, input, scratch.File("output")};
            arguments.insert(arguments.end(), testCase.options.begin(), testCase.options.end());

            TerminalChild child(arguments);
            ASSERT_TRUE(child.Started());
            int status = child.Wait();
            EXPECT_EQ(status, 0) << command << ", " << testCase.description << ": " << child.Seen();
            bool barShown = child.Seen().find("100%") != std::string::npos;
            EXPECT_EQ(barShown, testCase.barExpected)
                << command << ", " << testCase.description << ": the terminal showed \"" << child.Seen() << "\"";
        }
    }
}

} // namespace
