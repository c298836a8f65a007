#include "CliSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

#include "SWUContract.h"
#include "SWUpgradeCallStatus.h"
#include "ToolLog.h"

namespace qzcli {

volatile std::sig_atomic_t g_interrupted = 0;

namespace {

void OnSignal(int) { g_interrupted = 1; }

// The daemon's answer to the state query while an upgrade runs.
constexpr const char* kStateRunning = qz::swu::kReplyInProgress;
constexpr const char* kUpgradeRunning = "another upgrade is in progress";

std::string BusAddress()
{
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address && *address ? address : "the system bus";
}

}  // namespace

void InstallSignalHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A daemon that closes the OTA stream must show up as a dropped frame,
    // not kill the tool.
    signal(SIGPIPE, SIG_IGN);
}

// ----------------------------------------------------------------- Context

Context::Context(std::string command, GlobalOptions options, int failureExit)
    : m_command(std::move(command)),
      m_options(options),
      m_failureExit(failureExit)
{
}

Context::~Context() = default;

void Context::SetUpLogOnce()
{
    std::string warning = SetUpLog(m_options.verbose);
    if (!warning.empty())
        Warn(warning);
}

Client& Context::Daemon()
{
    if (!m_client) {
        SetUpLogOnce();
        m_client = std::make_unique<Client>();
    }
    return *m_client;
}

void Context::Note(const std::string& text)
{
    SetUpLogOnce();
    LogNote(m_command + ": " + text);
}

std::optional<int> Context::RequireDaemon(const std::string& what, nlohmann::json fields,
                                          const std::vector<std::string>& lines)
{
    Daemon();
    m_look = Bus().Look();
    if (m_look.state == DaemonState::kAnswers) {
        Note(std::string("on ") + BusAddress() + ", " + qz::swu::kDaemonBusName + " is " +
             m_look.owner + "; its state: '" + m_look.stateReply + "'");
        return std::nullopt;
    }
    Note(std::string("on ") + BusAddress() + ", the daemon did not answer: " + m_look.detail);
    return NotAnswering(what, std::move(fields), lines);
}

int Context::NotAnswering(const std::string& what, nlohmann::json fields,
                          const std::vector<std::string>& lines)
{
    const DaemonLook& look = m_look;
    switch (look.state) {
    case DaemonState::kDenied:
        return Fail(
            reason::kPermissionDenied,
            what + ": the bus refused the call to the upgrade daemon (" + look.errorName + ")",
            std::string("only root and members of the group '") + PolicyGroup() +
                "' may call it: ask to be added to that group (then log in again), or "
                "run as root",
            fields, lines);
    case DaemonState::kSilent:
        return Fail(reason::kDaemonUnreachable,
                    what + ": the upgrade daemon on " + BusAddress() + " does not answer (" +
                        look.detail + ")",
                    "check that qz-swu-daemon runs and see its log", fields, lines);
    default:
        return Fail(reason::kDaemonUnreachable,
                    what + ": the upgrade daemon is not on the bus (" + look.detail + ")",
                    "start qz-swu-daemon, or point DBUS_SYSTEM_BUS_ADDRESS at its bus", fields,
                    lines);
    }
}

BusCheck& Context::Bus()
{
    if (!m_bus)
        m_bus = std::make_unique<BusCheck>();
    return *m_bus;
}

bool Context::DaemonLeft() { return !m_look.owner.empty() && Bus().Owner() != m_look.owner; }

int Context::Lost(const std::string& what, nlohmann::json fields)
{
    return Fail(reason::kDaemonLost, what + ": the upgrade daemon left the bus during the command",
                "check that qz-swu-daemon runs (and why it stopped), then try again", fields);
}

int Context::Explain(const std::string& what, std::optional<eSWUpgradeProcess> requester,
                     nlohmann::json fields)
{
    Note(std::string("the library's last call to the daemon: ") +
         qz_swu_call_status_name(qz_swu_last_call_status()));
    if (DaemonLeft())
        return Lost(what, fields);
    if (requester) {
        std::optional<std::string> busy = InTheWay(*requester);
        if (busy)
            return Fail(reason::kBusy, what + ": " + *busy,
                        *busy == kUpgradeRunning
                            ? "wait for it with 'qz-swu progress --watch', then try again"
                            : "acknowledge it with 'qz-swu notify', then try again",
                        fields);
    }
    return Fail(reason::kRefused, what + ": the daemon refused it",
                "see the daemon's log; library log: " + LogDescription(), fields);
}

// The library's busy test asks the daemon only while a stored result is
// pending, so a running upgrade is looked for on its own first. A pending
// result alone holds back only a JOR request over a JOR result, or any
// request while the daemon does not say that it is idle.
std::optional<std::string> Context::InTheWay(eSWUpgradeProcess requester)
{
    std::string state = Bus().Look().stateReply;
    Note("the daemon's state: '" + state + "'");
    if (state == kStateRunning)
        return kUpgradeRunning;
    if (!Daemon().isSWUpgrading(requester))
        return std::nullopt;
    stSWUpgradeResult stored;
    Daemon().readResult(&stored);
    if (requester == SWU_PROCESS_JOR && stored.szProcess == qz::swu::kLabelJOR)
        return "the last result, of a JOR request, is not acknowledged, and a JOR request "
               "waits for that";
    return "the last result is not acknowledged and the daemon does not report itself idle "
           "(state '" +
           state + "')";
}

int Context::Done(nlohmann::json fields, const std::vector<std::string>& lines, int exitCode)
{
    SettleLog();
    if (m_options.json) {
        nlohmann::json out = {{"command", m_command}, {"ok", true}};
        if (fields.is_object())
            out.update(fields);
        std::cout << JsonLine(out) << std::endl;
    } else {
        for (const auto& line : lines)
            std::cout << line << '\n';
        std::cout.flush();
    }
    return exitCode;
}

int Context::Fail(const char* why, const std::string& what, const std::string& hint,
                  nlohmann::json fields, const std::vector<std::string>& lines,
                  std::optional<int> exitCode)
{
    std::string line = what;
    if (!hint.empty())
        line += "; " + hint;
    if (!LogIsStderr())
        LogNote(m_command + ": " + line);
    SettleLog();
    std::cerr << "qz-swu " << m_command << ": " << line << std::endl;
    if (m_options.json) {
        nlohmann::json out = {
            {"command", m_command}, {"ok", false}, {"reason", why}, {"error", line}};
        if (fields.is_object())
            out.update(fields);
        std::cout << JsonLine(out) << std::endl;
    } else {
        for (const auto& text : lines)
            std::cout << text << '\n';
        std::cout.flush();
    }
    return exitCode.value_or(m_failureExit);
}

void Context::Warn(const std::string& text) const
{
    std::cerr << "qz-swu " << m_command << ": warning: " << text << std::endl;
}

BarStyle Context::ProgressStyle(bool jsonEvents) const
{
    if (m_options.json)
        return jsonEvents ? BarStyle::kJsonLines : BarStyle::kOff;
    return ProgressBar::StdoutIsTerminal() ? BarStyle::kLive : BarStyle::kLines;
}

// ---------------------------------------------------------------- arguments

namespace {

enum CommonKey : int { kKeyHelp = 0x1000, kKeyJson, kKeyVerbose };

bool IsNegativeNumber(const char* arg)
{
    return arg[0] == '-' && arg[1] != '\0' && strspn(arg + 1, "0123456789") == strlen(arg + 1);
}

// Subcommands have no short option but -h, so "-1" is a value (cabinet
// complete -1), never a bundle of options. getopt would read it as options:
// while it runs, each such argument (before a "--") stands behind a copy
// that does not start with '-', and is given back as it was.
class NegativeNumbers {
public:
    NegativeNumbers(int argc, char** argv) : m_argv(argv, argv + argc)
    {
        m_argv.push_back(nullptr);
        m_standIns.reserve(static_cast<size_t>(argc));  // the pointers below must stay put
        for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
            if (!IsNegativeNumber(argv[i]))
                continue;
            m_standIns.push_back(std::string(" ") + argv[i]);
            m_argv[static_cast<size_t>(i)] = m_standIns.back().data();
            m_original[m_argv[static_cast<size_t>(i)]] = argv[i];
        }
    }

    char** Argv() { return m_argv.data(); }
    const char* Restore(const char* arg) const
    {
        auto found = m_original.find(arg);
        return found == m_original.end() ? arg : found->second;
    }

private:
    std::vector<char*> m_argv;
    std::vector<std::string> m_standIns;
    std::map<const char*, const char*> m_original;
};

}  // namespace

std::vector<std::string> ParseArguments(int argc, char** argv, const std::vector<OptionSpec>& own,
                                        GlobalOptions& global, const char* helpText,
                                        const std::function<void(int, const char*)>& onOption)
{
    std::vector<option> longOptions;
    for (const auto& spec : own)
        longOptions.push_back(
            {spec.name, spec.hasArg ? required_argument : no_argument, nullptr, spec.key});
    longOptions.push_back({"help", no_argument, nullptr, kKeyHelp});
    longOptions.push_back({"json", no_argument, nullptr, kKeyJson});
    longOptions.push_back({"verbose", no_argument, nullptr, kKeyVerbose});
    longOptions.push_back({nullptr, 0, nullptr, 0});

    // getopt keeps state between runs; 0 makes it start afresh. The leading
    // ':' reports a missing argument as ':' and keeps getopt itself quiet,
    // so that every usage error reads the same.
    optind = 0;
    opterr = 0;
    NegativeNumbers numbers(argc, argv);
    argv = numbers.Argv();
    std::vector<std::string> positionals;
    int key;
    while ((key = getopt_long(argc, argv, ":h", longOptions.data(), nullptr)) != -1) {
        switch (key) {
        case 'h':
        case kKeyHelp: throw HelpShown{helpText, argv[0]};
        case kKeyJson: global.json = true; break;
        case kKeyVerbose: global.verbose = true; break;
        case ':': throw UsageError(std::string("option ") + argv[optind - 1] + " needs a value");
        case '?':
            // optopt names an unknown short option; for a long one it is 0.
            if (optopt != 0)
                throw UsageError(std::string("unknown option -") + static_cast<char>(optopt));
            throw UsageError(std::string("unknown option ") + argv[optind - 1]);
        default: onOption(key, numbers.Restore(optarg));
        }
    }
    for (int i = optind; i < argc; ++i)
        positionals.emplace_back(numbers.Restore(argv[i]));
    return positionals;
}

void ExpectPositionals(const std::vector<std::string>& args, size_t count, const char* names)
{
    if (args.size() < count)
        throw UsageError(std::string("missing ") + names);
    if (args.size() > count)
        throw UsageError("unexpected argument '" + args[count] + "'");
}

long long ParseInteger(const std::string& text, const std::string& what, long long min,
                       long long max)
{
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError(what + " must be a whole number, not '" + text + "'");
    if (value < min || value > max)
        throw UsageError(what + " must be between " + std::to_string(min) + " and " +
                         std::to_string(max) + ", not " + text);
    return value;
}

// --------------------------------------------------------------------- misc

std::string JsonLine(const nlohmann::json& document)
{
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string HumanBytes(double bytes)
{
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (std::fabs(bytes) >= 1024.0 && unit < 3) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string Counted(long long count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace qzcli
