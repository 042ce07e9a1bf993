#include "tools/zqv/options.h"

#include "tools/process.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <iterator>
#include <optional>
#include <span>

namespace {

struct CommandShape {
    Command command;
    const char *name;
    size_t minOperands;
    size_t maxOperands;
};

constexpr size_t Unlimited = SIZE_MAX;
constexpr CommandShape CommandShapes[] = {
    {Command::Decode, "decode", 2, 2}, // IN OUT; with -o DIR, one or more inputs
    {Command::Encode, "encode", 2, 2},
    {Command::Probe, "probe", 1, Unlimited},
    {Command::Info, "info", 0, Unlimited},
    {Command::Plugin, "plugin", 0, 0},
    {Command::Check, "check", 1, Unlimited},
};

constexpr Command Converters[] = {Command::Decode, Command::Encode};
constexpr Command Walkers[] = {Command::Decode, Command::Encode, Command::Check};
constexpr Command Sharers[] = {Command::Decode, Command::Encode, Command::Check, Command::Info}; // -j

// More workers than this is a typing mistake, not a machine.
constexpr long long MostJobs = 256;

// The command called name; null when there is none.
const CommandShape *FindCommand(const std::string &name)
{
    const CommandShape *found = std::ranges::find(CommandShapes, name, &CommandShape::name);
    return found == std::end(CommandShapes) ? nullptr : found;
}

// The shape of a command other than None.
const CommandShape &ShapeOf(Command command) { return *std::ranges::find(CommandShapes, command, &CommandShape::command); }

// What is wrong, after the command's name if one was given, and where its help is.
Status UsageError(Command command, const std::string &what)
{
    if (command == Command::None)
        return Failure(ExitUsage, what + " (see zqv --help)");
    std::string name = ShapeOf(command).name;
    return Failure(ExitUsage, name + ": " + what + " (see zqv " + name + " --help)");
}

// A whole decimal number from low to high, or nothing.
std::optional<long long> ParseNumber(const std::string &text, long long low, long long high)
{
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

// What --offset takes: as much as the plug-in's offset argument, an
// intptr_t, holds in this build.
std::string OffsetRange()
{
    std::string range = "a byte count from 0 to " + std::to_string(INTPTR_MAX);
    return sizeof(intptr_t) < sizeof(int64_t) ? range + " (the 32-bit plug-in takes no larger offset)" : range;
}

// The short option whose value may follow it at once ("-j4").
constexpr const char *JobsShort = "-j";

// Splits "--name=value" and "-jN" into name and value; other arguments are
// left whole.
void SplitAttachedValue(const std::string &argument, std::string *name, std::optional<std::string> *value)
{
    size_t split = argument.starts_with("--") ? argument.find('=') : std::string::npos;
    size_t valueFrom = split + 1;
    if (!argument.starts_with("--") && argument.starts_with(JobsShort) && argument.size() > 2)
        split = valueFrom = 2;
    *name = argument.substr(0, split);
    if (split != std::string::npos)
        *value = argument.substr(valueFrom);
    else
        value->reset();
}

class Parser {
public:
    Parser(const std::vector<std::string> &arguments, Options *options) : arguments_(arguments), options_(options) {}

    Status Run()
    {
        bool optionsEnded = false;
        for (next_ = 0; next_ < arguments_.size();) {
            const std::string &argument = arguments_[next_++];
            bool isOption = !optionsEnded && argument.size() > 1 && argument[0] == '-';
            if (isOption && argument == "--") {
                optionsEnded = true;
                continue;
            }
            Status taken = isOption ? TakeOption(argument) : TakeWord(argument);
            if (!taken.Ok())
                return taken;
        }
        return CheckOperandCount();
    }

private:
    Status TakeWord(const std::string &word)
    {
        if (options_->command != Command::None) {
            options_->operands.push_back(word);
            return Success();
        }
        const CommandShape *shape = FindCommand(word);
        if (shape == nullptr)
            return UsageError(Command::None, "unknown command '" + word + "'");
        options_->command = shape->command;
        return Success();
    }

    Status TakeOption(const std::string &argument)
    {
        std::string name;
        std::optional<std::string> value;
        SplitAttachedValue(argument, &name, &value);
        if (name == "--help" || name == "-h")
            return Flag(&options_->help, value, name);
        if (name == "--version")
            return Flag(&options_->version, value, name);
        if (name == "--quiet" || name == "-q")
            return Flag(&options_->quiet, value, name);
        if (name == "--offset")
            return NumberOption(name, value, Command::Decode, 0, INTPTR_MAX, OffsetRange().c_str(),
                                &options_->offset);
        if (name == "--level")
            return NumberOption(name, value, Command::Encode, LowestLevel, HighestLevel, "a number from 0 to 9",
                                &options_->level);
        if (name == "--format")
            return FormatOption(name, value);
        if (name == "--quality")
            return NumberOption(name, value, Command::Decode, LowestQuality, HighestQuality,
                                "a JPEG quality from 1 to 100", &options_->quality);
        if (name == "--alpha")
            return OwnedFlag(&options_->alpha, value, name, {Command::Encode});
        if (name == "--recursive" || name == "-r")
            return OwnedFlag(&options_->recursive, value, name, Walkers);
        if (name == "--force")
            return OwnedFlag(&options_->force, value, name, Converters);
        if (name == "--json")
            return OwnedFlag(&options_->json, value, name, {Command::Info});
        if (name == "--check")
            return OwnedFlag(&options_->checkEnd, value, name, {Command::Info});
        if (name == "--output" || name == "-o")
            return DirectoryOption(name, value);
        if (name == "--jobs" || name == JobsShort)
            return NumberOption(name, value, std::span<const Command>(Sharers), 1, MostJobs,
                                "a count of pictures at once, from 1 to 256", &options_->jobs);
        if (name == "--worker")
            return Flag(&options_->worker, value, name);
        return UsageError(options_->command, "unknown option '" + argument + "'");
    }

    Status Flag(bool *flag, const std::optional<std::string> &value, const std::string &name)
    {
        if (value)
            return UsageError(options_->command, "option '" + name + "' takes no value");
        *flag = true;
        return Success();
    }

    // Fails unless the command is one of owners, naming them.
    Status CheckOwner(const std::string &name, std::initializer_list<Command> owners) const
    {
        return CheckOwner(name, std::span<const Command>(owners.begin(), owners.size()));
    }

    Status CheckOwner(const std::string &name, std::span<const Command> owners) const
    {
        if (std::ranges::find(owners, options_->command) != owners.end())
            return Success();
        std::string names;
        for (Command owner : owners)
            names += std::string(names.empty() ? "" : " and ") + ShapeOf(owner).name;
        return UsageError(options_->command, "option '" + name + "' belongs to " + names);
    }

    Status OwnedFlag(bool *flag, const std::optional<std::string> &value, const std::string &name,
                     std::span<const Command> owners)
    {
        Status owned = CheckOwner(name, owners);
        return owned.Ok() ? Flag(flag, value, name) : owned;
    }

    Status OwnedFlag(bool *flag, const std::optional<std::string> &value, const std::string &name,
                     std::initializer_list<Command> owners)
    {
        return OwnedFlag(flag, value, name, std::span<const Command>(owners.begin(), owners.size()));
    }

    Status DirectoryOption(const std::string &name, const std::optional<std::string> &attached)
    {
        Status owned = CheckOwner(name, Converters);
        if (!owned.Ok())
            return owned;
        std::optional<std::string> directory = ValueOf(attached);
        if (!directory || directory->empty())
            return UsageError(options_->command, name + " needs a directory");
        options_->outputDirectory = *directory;
        return Success();
    }

    Status FormatOption(const std::string &name, const std::optional<std::string> &attached)
    {
        Status owned = CheckOwner(name, {Command::Decode});
        if (!owned.Ok())
            return owned;
        std::optional<std::string> format = ValueOf(attached);
        if (!format || ImageFormatNamed(*format) == nullptr)
            return UsageError(options_->command, name + " needs one of " + ImageFormatNames() + ", not '" +
                                                     format.value_or("") + "'");
        options_->format = ImageFormatNamed(*format)->name;
        return Success();
    }

    // The option's value: attached with '=' or the next argument.
    std::optional<std::string> ValueOf(const std::optional<std::string> &attached)
    {
        if (attached)
            return attached;
        if (next_ < arguments_.size())
            return arguments_[next_++];
        return std::nullopt;
    }

    // The value of the option name, which belongs to owner: a whole number
    // from low to high (what says so in the message) put into *slot.
    template <typename Number>
    Status NumberOption(const std::string &name, const std::optional<std::string> &attached, Command owner,
                        long long low, long long high, const char *what, Number *slot)
    {
        return NumberOption(name, attached, std::span<const Command>(&owner, 1), low, high, what, slot);
    }

    template <typename Number>
    Status NumberOption(const std::string &name, const std::optional<std::string> &attached,
                        std::span<const Command> owners, long long low, long long high, const char *what,
                        Number *slot)
    {
        Status owned = CheckOwner(name, owners);
        if (!owned.Ok())
            return owned;
        std::optional<std::string> text = ValueOf(attached);
        std::optional<long long> number = text ? ParseNumber(*text, low, high) : std::nullopt;
        if (!number)
            return UsageError(options_->command, name + " needs " + what + ", not '" + text.value_or("") + "'");
        *slot = static_cast<Number>(*number);
        return Success();
    }

    Status CheckOperandCount() const
    {
        if (options_->help || options_->version || options_->worker)
            return Success();
        if (options_->command == Command::None)
            return UsageError(Command::None, "no command given");
        const CommandShape &shape = ShapeOf(options_->command);
        size_t count = options_->operands.size();
        bool converts = std::ranges::find(Converters, options_->command) != std::end(Converters);
        if (converts && IsBatch(*options_))
            return count == 0 ? UsageError(options_->command, "too few arguments") : Success();
        if (converts && options_->recursive)
            return UsageError(options_->command, "-r needs -o DIR, where the outputs go");
        if (converts && options_->jobs != 0)
            return UsageError(options_->command, "-j needs -o DIR and pictures to share out");
        if (count < shape.minOperands)
            return UsageError(options_->command, "too few arguments");
        if (count > shape.maxOperands)
            return UsageError(options_->command, "unexpected argument '" + options_->operands[shape.maxOperands] + "'" +
                                                    (converts ? "; -o DIR takes many inputs" : ""));
        return Success();
    }

    const std::vector<std::string> &arguments_;
    Options *options_;
    size_t next_ = 0;
};

} // namespace

Status ParseCommandLine(const std::vector<std::string> &arguments, Options *options)
{
    *options = Options{};
    return Parser(arguments, options).Run();
}

int JobsOf(const Options &options) { return options.jobs != 0 ? options.jobs : AvailableProcessors(); }

std::vector<std::string> WorkerArguments(const Options &options)
{
    std::vector<std::string> arguments{ShapeOf(options.command).name, "--worker"};
    if (options.command == Command::Decode)
        arguments.push_back("--offset=" + std::to_string(options.offset));
    if (options.command == Command::Decode && !options.format.empty())
        arguments.push_back("--format=" + options.format);
    if (options.command == Command::Decode)
        arguments.push_back("--quality=" + std::to_string(options.quality));
    if (options.command == Command::Encode)
        arguments.push_back("--level=" + std::to_string(options.level));
    if (options.alpha)
        arguments.push_back("--alpha");
    if (options.checkEnd)
        arguments.push_back("--check");
    if (options.json)
        arguments.push_back("--json");
    return arguments;
}
