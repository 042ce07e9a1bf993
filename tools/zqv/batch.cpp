#include "tools/zqv/batch.h"

#include "tools/files.h"
#include "tools/plugin_host.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include "platform/platform.h"
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

// A run shared out: threads that each drive one worker process take the
// pictures in turn, and the calling thread prints what they come to in
// input order.
class SharedRun {
public:
    SharedRun(const ItemWork &work, const std::vector<std::string> &workerArguments)
        : work_(work), workerArguments_(workerArguments), reports_(work.count)
    {
    }

    bool Run(int jobs, bool barWanted, const std::function<void(const ItemReport &)> &counted)
    {
        uint64_t total = 0;
        for (size_t at = 0; at < work_.count; ++at)
            total += work_.bytes(at);
        std::vector<std::thread> drivers;
        for (int job = 0; job < jobs; ++job)
            drivers.emplace_back([this] { Drive(); });
        bool stopped = PrintInOrder(ProgressBar(barWanted, total), total, counted);
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        for (std::thread &driver : drivers)
            driver.join();
        return stopped;
    }

private:
    // One driver thread's life: the next picture, until there are none or
    // the run stops.
    void Drive()
    {
        Worker worker;
        for (;;) {
            size_t at;
            {
                std::lock_guard<std::mutex> guard(lock_);
                stopping_ = stopping_ || Interrupted();
                if (stopping_ || next_ == work_.count)
                    break;
                at = next_++;
            }
            ItemReport report = Work(at, &worker);
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
        if (worker.id != 0)
            End(&worker);
    }

    ItemReport Work(size_t at, Worker *worker)
    {
        Message request = work_.request(at);
        if (request.empty()) {
            ProgressBar unseen(false, 0);
            return work_.here(at, {unseen, 0, 0, 0});
        }
        if (worker->id == 0) {
            if (!StartWorker(ProgramPath(), workerArguments_, worker))
                return work_.lost(at, 0, "it could not be started");
            ForwardStopsTo(worker->id);
        }
        // A stop that came before the worker could be told of it: the picture
        // is not begun, and says nothing, as those not handed out.
        if (Interrupted())
            return NotBegun();
        Message answer;
        ItemReport report;
        if (SendRequest(worker, request) && ReceiveAnswer(worker, &answer) && ReportOf(answer, &report))
            return report;
        int id = worker->id;
        std::string how = End(worker);
        ItemReport lost = work_.lost(at, id, how.empty() ? "it ended" : how);
        // A stop passed on to a worker that had only just started can end it
        // before it catches stops: its picture was stopped all the same.
        lost.stopped = Interrupted();
        return lost;
    }

    static std::string End(Worker *worker)
    {
        StopForwardingTo(worker->id);
        return EndWorker(worker);
    }

    // Prints the reports in order as they come, the bar moving with every
    // picture done; a stop prints those done and leaves out the rest.
    bool PrintInOrder(ProgressBar &&bar, uint64_t total, const std::function<void(const ItemReport &)> &counted)
    {
        bool stopped = false;
        for (size_t at = 0; at < work_.count; ++at) {
            std::unique_lock<std::mutex> guard(lock_);
            for (;;) {
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
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::optional<ItemReport>> reports_;
    size_t next_ = 0;
    bool stopping_ = false;
    uint64_t bytesDone_ = 0;
    size_t itemsDone_ = 0;
};

} // namespace

void PrintReport(const ItemReport &report)
{
    std::fputs(report.err.c_str(), stderr);
    std::fputs(report.out.c_str(), stdout);
    std::fflush(stderr);
    std::fflush(stdout);
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
