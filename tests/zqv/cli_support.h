// tests/zqv/cli_support.h -- running the zqv program as a user would: a
// separate process with its own standard streams, its exit status and the
// files it leaves behind.
#pragma once

#include "tests/support/fixtures.h"

#include <string>
#include <vector>

// What one run of zqv gave back.
struct RunResult {
    int exitStatus = -1;
    Bytes standardOutput;
    std::string standardError; // with Windows line ends ("\r\n") made "\n"

    // Standard output as text, with Windows line ends ("\r\n") made "\n".
    std::string OutputText() const;
    // For failure messages: the status and both streams, briefly.
    std::string Describe() const;
};

// The zqv program beside the test program (zqv.exe in the win32 build).
std::string ZqvPath();

// Runs zqv with the arguments, standardInput fed to it, and waits for it.
RunResult RunZqv(const std::vector<std::string> &arguments, const Bytes &standardInput = {});

// The same for any program: command[0] (a path) with the rest as arguments,
// so that zqv can run under a launcher (setpriv, a shell setting a limit).
RunResult RunCommand(const std::vector<std::string> &command, const Bytes &standardInput = {});

// zqv with its standard output going to the file or device at path (a full
// one: /dev/full), which is not read back.
RunResult RunZqvInto(const std::string &path, const std::vector<std::string> &arguments);

#ifndef _WIN32
// zqv where file permissions hold, even for root (as CI runs): without the
// capabilities that let root read and search every file and directory.
inline RunResult RunZqvWithoutOverride(const std::vector<std::string> &arguments)
{
    std::vector<std::string> command{"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search", "--",
                                     ZqvPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunCommand(command);
}

// zqv under a resource limit, limit being prlimit's option for it
// ("--nproc=3", "--nofile=6"). Run as root, it runs as a user of its own,
// which no other process counts against the process limit (root ignores
// that limit), from a copy of zqv in directory, which is opened to that
// user with all below it. Leak checks are off: the sanitizer's own thread
// at exit would count against the limit too.
RunResult RunZqvLimited(const std::string &limit, const std::string &directory,
                        const std::vector<std::string> &arguments);

// Hands path (a directory made for RunZqvLimited to write in) to the user it
// runs zqv as.
void GiveToLimitedUser(const std::string &path);
#endif

// A fresh directory in the temporary directory, removed with its contents
// when the object goes away. Paths are as the program under test names them.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;

    const std::string &Path() const { return path_; }
    std::string File(const std::string &name) const;
    // Writes a file here and returns its path.
    std::string Put(const std::string &name, const Bytes &contents) const;
    // The names of everything in the directory, sorted.
    std::vector<std::string> Entries() const;

private:
    std::string path_;
};

// The directory of the `bmp` CTest fixture (env ZQV_FIXTURES), as the
// program names it; empty when the variable is not set.
std::string FixtureDirectory();

// The BMP file as zqv decode must give it back: the file-size field set to
// the real size.
Bytes WithRealSizeField(Bytes bmp);

// Decompresses a container without the plug-in (unmask, zlib uncompress),
// to check what encode makes independently; empty if it is not valid.
Bytes UnwrapIndependently(const Bytes &container, size_t expectedSize);
