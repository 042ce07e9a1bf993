#include "tools/zqv/batch.h"

#include "tools/files.h"
#include "tools/plugin_host.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <cstring>
#include <optional>
#include <system_error>

#ifdef _WIN32
#include "platform/platform.h"
#else
#include <pthread.h>
#endif

namespace fs = std::filesystem;

namespace {

using PathKey = fs::path::string_type;

// The name the file system knows a path by: absolute, with links and dot
// segments resolved as far as the path exists, and in the Windows builds in
// upper case, as their file systems ignore case.
PathKey KeyOf(const std::string &name)
{
    std::error_code error;
    fs::path path = fs::weakly_canonical(PathOfName(name), error);
    if (error)
        path = fs::absolute(PathOfName(name), error).lexically_normal();
    PathKey key = path.native();
#ifdef _WIN32
    PathKey upper(key.size(), L'\0');
    int length = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, key.data(), static_cast<int>(key.size()),
                              upper.data(), static_cast<int>(upper.size()));
    if (length == static_cast<int>(key.size()))
        key = upper;
#endif
    return key;
}

// "a", "a and b", "a, b and c".
std::string Listed(const std::vector<std::string> &names)
{
    std::string list;
    for (size_t at = 0; at < names.size(); ++at)
        list += (at == 0 ? "" : at + 1 == names.size() ? " and " : ", ") + InputName(names[at]);
    return list;
}

// Refuses every conversion whose output another also writes, or whose
// output is an input of the batch.
void RefuseCollisions(std::vector<Conversion> *conversions)
{
    std::map<PathKey, std::vector<size_t>> byOutput;
    std::map<PathKey, std::string> inputs;
    for (size_t at = 0; at < conversions->size(); ++at) {
        const Conversion &conversion = (*conversions)[at];
        if (conversion.refused.Ok())
            byOutput[KeyOf(conversion.output)].push_back(at);
        if (conversion.input.path != StandardStreamName)
            inputs.emplace(KeyOf(conversion.input.path), conversion.input.path);
    }
    for (const auto &[key, sharers] : byOutput) {
        auto input = inputs.find(key);
        for (size_t at : sharers) {
            Conversion &conversion = (*conversions)[at];
            std::vector<std::string> others;
            for (size_t other : sharers)
                if (other != at)
                    others.push_back((*conversions)[other].input.path);
            std::string why;
            if (input != inputs.end())
                why = "its output would overwrite the input " + input->second;
            else if (!others.empty())
                why = conversion.output + " is also the output of " + Listed(others);
            else
                continue;
            conversion.refused = Status::Failure(InputName(conversion.input.path) + ": not converted: " + why);
        }
    }
}

// A report as it travels from a worker: its lines, then its numbers.
Message MessageOf(const ItemReport &report)
{
    return {report.out, report.err, std::to_string(report.tally), std::to_string(report.exitStatus),
            report.stopped ? "1" : "0"};
}

bool ReadNumber(const std::string &text, int *number)
{
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *number);
    return error == std::errc() && end == text.data() + text.size();
}

bool ReportOf(const Message &message, ItemReport *report)
{
    constexpr size_t Parts = 5;
    if (message.size() != Parts || !ReadNumber(message[2], &report->tally) ||
        !ReadNumber(message[3], &report->exitStatus))
        return false;
    report->out = message[0];
    report->err = message[1];
    report->stopped = message[4] == "1";
    return true;
}

// The report of a picture a stop came before: no lines, and the run ends.
ItemReport NotBegun()
{
    ItemReport report;
    report.stopped = true;
    return report;
}

// The run one after another, here.
bool RunInTurn(const ItemWork &work, bool barWanted, const std::function<void(const ItemReport &)> &counted)
{
    uint64_t total = 0;
    for (size_t at = 0; at < work.count; ++at)
        total += work.bytes(at);
    ProgressBar bar(barWanted, total);
    uint64_t before = 0;
    for (size_t at = 0; at < work.count; ++at) {
        uint64_t bytes = work.bytes(at);
        ItemReport report = work.here(at, {bar, before, bytes, total});
        before += bytes;
        bar.Clear();
        PrintReport(report);
        if (report.stopped)
            return true;
        counted(report);
    }
    return false;
}

// What standard error says, once, when a worker could not be started (the
// pictures are all done none the less, and come to what they would have).
std::string FewerWorkersLine(const std::string &why)
{
    return "zqv: a worker could not be started (" + why +
           "); its pictures go to the others or are done in this process, with the same results\n";
}

// How long a worker is waited for: without end until a stop is asked for,
// then StopGraceSeconds more.
class StopGrace {
public:
    bool Lasts()
    {
        if (!Interrupted())
            return true;
        auto now = std::chrono::steady_clock::now();
        if (!stopSeen_)
            stopSeen_ = now;
        ranOut_ = ranOut_ || now - *stopSeen_ >= std::chrono::seconds(StopGraceSeconds);
        return !ranOut_;
    }

    bool RanOut() const { return ranOut_; }

private:
    std::optional<std::chrono::steady_clock::time_point> stopSeen_;
    bool ranOut_ = false;
};

// The driver threads of a run, made with the system's own calls: they say
// that a thread cannot be made (a limit on processes counts threads too) as
// a value, where std::thread throws. Lives until joined, where it was made.
class DriverThreads {
public:
    DriverThreads() = default;
    DriverThreads(const DriverThreads &) = delete;
    DriverThreads &operator=(const DriverThreads &) = delete;

    // Starts up to count threads, each running drive(); fails, saying why,
    // at the first that cannot be made, those made running on.
    Status Start(int count, std::function<void()> drive)
    {
        drive_ = std::move(drive);
        for (int made = 0; made < count; ++made) {
#ifdef _WIN32
            HANDLE thread = CreateThread(nullptr, 0, Enter, this, 0, nullptr);
            if (thread == nullptr)
                return Status::Failure("cannot make a thread (error " + std::to_string(GetLastError()) + ")");
#else
            pthread_t thread{};
            if (int error = pthread_create(&thread, nullptr, Enter, this); error != 0)
                return Status::Failure(std::string("cannot make a thread: ") + std::strerror(error));
#endif
            threads_.push_back(thread);
        }
        return Status::Success();
    }

    size_t Count() const { return threads_.size(); }

    void JoinAll()
    {
        for (auto thread : threads_) {
#ifdef _WIN32
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
#else
            pthread_join(thread, nullptr);
#endif
        }
        threads_.clear();
    }

private:
#ifdef _WIN32
    static DWORD WINAPI Enter(void *threads)
    {
        static_cast<DriverThreads *>(threads)->drive_();
        return 0;
    }
    std::vector<HANDLE> threads_;
#else
    static void *Enter(void *threads)
    {
        static_cast<DriverThreads *>(threads)->drive_();
        return nullptr;
    }
    std::vector<pthread_t> threads_;
#endif
    std::function<void()> drive_;
};

// A driver thread's own: its worker, and whether its pictures are done here
// instead, a worker in place of one that died having failed to start.
struct Driver {
    Worker worker;
    bool here = false;
    StopGrace grace;

    Patience Waiting() { return [this] { return grace.Lasts(); }; }
};

// A run shared out: threads that each drive one worker process take the
// pictures in turn, and the calling thread prints what they come to in
// input order.
class SharedRun {
public:
    SharedRun(const ItemWork &work, const std::vector<std::string> &workerArguments)
        : work_(work), workerArguments_(workerArguments), reports_(work.count)
    {
    }

    // Up to jobs workers, each driven by a thread of its own; as many as
    // could be started, or, when not one worker with its thread could be,
    // the run in turn.
    bool Run(int jobs, bool barWanted, const std::function<void(const ItemReport &)> &counted)
    {
        drivers_ = std::vector<Driver>(static_cast<size_t>(jobs));
        size_t started = StartWorkers();
        DriverThreads threads;
        Status made = threads.Start(static_cast<int>(started), [this] { Drive(); });
        if (!made.Ok())
            Note(made.Message());
        for (size_t idle = threads.Count(); idle < started; ++idle)
            End(&drivers_[idle]);
        if (threads.Count() == 0) {
            std::fputs(note_.c_str(), stderr);
            return RunInTurn(work_, barWanted, counted);
        }
        uint64_t total = 0;
        for (size_t at = 0; at < work_.count; ++at)
            total += work_.bytes(at);
        bool stopped = PrintInOrder(ProgressBar(barWanted, total), total, counted);
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        threads.JoinAll();
        std::fputs(note_.c_str(), stderr); // one that came after the last report
        return stopped;
    }

private:
    // Starts the drivers' workers one after another, up to the first that
    // cannot be started (the limit that refused it refuses the rest), and
    // says how many were. One at a time, no start takes the files or the
    // processes another needs, and none competes with pictures done here.
    size_t StartWorkers()
    {
        size_t started = 0;
        for (; started < drivers_.size(); ++started) {
            Worker &worker = drivers_[started].worker;
            Status outcome = StartWorker(ProgramPath(), workerArguments_, &worker);
            if (!outcome.Ok()) {
                Note(outcome.Message());
                break;
            }
            ForwardStopsTo(worker.id);
        }
        return started;
    }

    // Keeps the line saying fewer workers run, for the printing thread to
    // print once.
    void Note(const std::string &why)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (noted_)
            return;
        noted_ = true;
        note_ = FewerWorkersLine(why);
    }

    // One driver thread's life, with the next driver's worker: the next
    // picture, until there are none or the run stops.
    void Drive()
    {
        Driver &driver = drivers_[nextDriver_++];
        for (;;) {
            size_t at;
            {
                std::lock_guard<std::mutex> guard(lock_);
                stopping_ = stopping_ || Interrupted();
                if (stopping_ || next_ == work_.count)
                    break;
                at = next_++;
            }
            ItemReport report = Work(at, &driver);
            {
                std::lock_guard<std::mutex> guard(lock_);
                reports_[at] = report;
                bytesDone_ += work_.bytes(at);
                ++itemsDone_;
                stopping_ = stopping_ || report.stopped;
            }
            changed_.notify_all();
        }
        changed_.notify_all();
        if (driver.worker.id != 0)
            End(&driver);
    }

    ItemReport Work(size_t at, Driver *driver)
    {
        Message request = work_.request(at);
        if (!request.empty() && !driver->here && driver->worker.id == 0)
            StartWorkerOf(driver);
        if (request.empty() || driver->here) {
            ProgressBar unseen(false, 0);
            return work_.here(at, {unseen, 0, 0, 0});
        }
        // A stop that came before the worker could be told of it: the picture
        // is not begun, and says nothing, as those not handed out.
        if (Interrupted())
            return NotBegun();
        Message answer;
        ItemReport report;
        if (SendRequest(&driver->worker, request) && ReceiveAnswer(&driver->worker, &answer, driver->Waiting()) &&
            ReportOf(answer, &report))
            return report;
        int id = driver->worker.id;
        std::string how = End(driver);
        ItemReport lost = work_.lost(at, id, how.empty() ? "it ended" : how);
        // A stop passed on to a worker that had only just started can end it
        // before it catches stops: its picture was stopped all the same.
        lost.stopped = Interrupted();
        return lost;
    }

    // A worker in place of one that died. One that cannot be started costs
    // no picture: the driver does its pictures here from then on, and the
    // user is told once.
    void StartWorkerOf(Driver *driver)
    {
        Status started = StartWorker(ProgramPath(), workerArguments_, &driver->worker);
        if (started.Ok()) {
            ForwardStopsTo(driver->worker.id);
            return;
        }
        driver->here = true;
        Note(started.Message());
        changed_.notify_all();
    }

    // Ends the driver's worker: at once when it is waiting for work; one
    // that has not ended StopGraceSeconds after a stop (stopped by SIGSTOP,
    // or stuck) is killed. Says how it ended.
    static std::string End(Driver *driver)
    {
        StopForwardingTo(driver->worker.id);
        std::string how = EndWorker(&driver->worker, driver->Waiting());
        if (driver->grace.RanOut())
            how = "killed, as it had not stopped " + std::to_string(StopGraceSeconds) + " s after the stop";
        return how;
    }

    // Prints the reports in order as they come, the bar moving with every
    // picture done; a stop prints those done and leaves out the rest.
    bool PrintInOrder(ProgressBar &&bar, uint64_t total, const std::function<void(const ItemReport &)> &counted)
    {
        bool stopped = false;
        for (size_t at = 0; at < work_.count; ++at) {
            std::unique_lock<std::mutex> guard(lock_);
            for (;;) {
                if (!note_.empty()) {
                    bar.Clear();
                    std::fputs(note_.c_str(), stderr);
                    note_.clear();
                }
                bar.Update(static_cast<int64_t>(bytesDone_), static_cast<int64_t>(total), itemsDone_, work_.count);
                if (reports_[at] || (stopping_ && at >= next_))
                    break;
                changed_.wait(guard);
            }
            if (!reports_[at])
                return true; // never begun: the run stopped before it
            ItemReport report = *reports_[at];
            guard.unlock();
            bar.Clear();
            PrintReport(report);
            stopped = stopped || report.stopped;
            if (!stopped)
                counted(report);
        }
        return stopped;
    }

    const ItemWork &work_;
    const std::vector<std::string> &workerArguments_;
    std::vector<Driver> drivers_; // made before the threads, and never moved while they run
    std::atomic<size_t> nextDriver_{0};
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::optional<ItemReport>> reports_;
    size_t next_ = 0;
    bool stopping_ = false;
    bool noted_ = false;
    std::string note_; // the line saying fewer workers run, until printed
    uint64_t bytesDone_ = 0;
    size_t itemsDone_ = 0;
};

} // namespace

void PrintReport(const ItemReport &report)
{
    std::fputs(report.err.c_str(), stderr);
    std::fputs(report.out.c_str(), stdout);
    std::fflush(stderr);
    FlushReport();
}

std::vector<Conversion> PlanConversions(const std::vector<InputFile> &inputs, const std::string &directory,
                                        const std::string &extension, bool force)
{
    std::vector<Conversion> conversions;
    for (const InputFile &input : inputs) {
        Status refused = input.problem.Ok() ? Status::Success()
                                            : Status::Failure(input.path + ": " + input.problem.Message());
        conversions.push_back({input, OutputPathFor(input, directory, extension), refused});
    }
    RefuseCollisions(&conversions);
    for (Conversion &conversion : conversions) {
        std::error_code error;
        conversion.skipped = conversion.refused.Ok() && !force && fs::exists(PathOfName(conversion.output), error);
    }
    return conversions;
}

bool RunItems(const ItemWork &work, int jobs, const std::vector<std::string> &workerArguments, bool barWanted,
              const std::function<void(const ItemReport &)> &counted)
{
    size_t forWorkers = 0;
    for (size_t at = 0; at < work.count && forWorkers < size_t(jobs); ++at)
        forWorkers += work.request(at).empty() ? 0 : 1;
    int workers = static_cast<int>(std::min<size_t>(jobs, forWorkers));
    if (workers <= 1)
        return RunInTurn(work, barWanted, counted);
    return SharedRun(work, workerArguments).Run(workers, barWanted, counted);
}

Status RunWorker(const std::function<ItemReport(const Message &)> &workOn)
{
    Message request;
    while (ReceiveRequest(&request))
        if (!SendAnswer(MessageOf(workOn(request))))
            break;
    return Status::Success();
}

std::string WorkerLost(const std::string &how)
{
    return "the worker process given it ended without an answer (" + how + ")";
}
