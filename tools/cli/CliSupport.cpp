#include "CliSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "ToolLog.h"

namespace qzcli {

volatile std::sig_atomic_t g_interrupted = 0;

namespace {

void OnSignal(int) { g_interrupted = 1; }

// The daemon's answer to the state query while an upgrade runs.
constexpr const char* kStateRunning = "InProgressStatus";

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

Context::Context(std::string command, GlobalOptions options)
    : m_command(std::move(command)),
      m_options(options)
{
}

Context::~Context() = default;

Client& Context::Daemon()
{
    if (!m_client) {
        std::string warning = SetUpLog(m_options.verbose);
        if (!warning.empty())
            Warn(warning);
        m_client = std::make_unique<Client>();
    }
    return *m_client;
}

std::optional<int> Context::RequireDaemon(const std::string& what, nlohmann::json fields,
                                          const std::vector<std::string>& lines)
{
    Daemon();
    m_look = Bus().Look();
    if (m_look.state == DaemonState::kAnswers)
        return std::nullopt;
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
    if (DaemonLeft())
        return Lost(what, fields);
    if (requester) {
        // The library's busy test asks the daemon only while a stored result
        // is pending, so a running upgrade is looked for on its own as well.
        bool running = Bus().Look().stateReply == kStateRunning;
        if (running || Daemon().isSWUpgrading(*requester))
            return Fail(reason::kBusy,
                        what +
                            ": another upgrade is in progress or its result was not "
                            "acknowledged",
                        "wait with 'qz-swu progress --watch', then acknowledge with 'qz-swu "
                        "notify'",
                        fields);
    }
    return Fail(reason::kRefused, what + ": the daemon refused it",
                "see the daemon's log; library log: " + LogDescription(), fields);
}

int Context::Done(nlohmann::json fields, const std::vector<std::string>& lines, int exitCode)
{
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
                  nlohmann::json fields, const std::vector<std::string>& lines, int exitCode)
{
    std::string line = what;
    if (!hint.empty())
        line += "; " + hint;
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
    return exitCode;
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
    std::vector<std::string> positionals;
    int key;
    while ((key = getopt_long(argc, argv, ":h", longOptions.data(), nullptr)) != -1) {
        switch (key) {
        case 'h':
        case kKeyHelp: throw HelpShown{helpText};
        case kKeyJson: global.json = true; break;
        case kKeyVerbose: global.verbose = true; break;
        case ':': throw UsageError(std::string("option ") + argv[optind - 1] + " needs a value");
        case '?':
            // optopt names an unknown short option; for a long one it is 0.
            if (optopt != 0)
                throw UsageError(std::string("unknown option -") + static_cast<char>(optopt));
            throw UsageError(std::string("unknown option ") + argv[optind - 1]);
        default: onOption(key, optarg);
        }
    }
    for (int i = optind; i < argc; ++i)
        positionals.emplace_back(argv[i]);
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

}  // namespace qzcli
