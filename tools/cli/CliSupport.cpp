#include "CliSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "SWUpgradeInternal.h"

namespace qzcli {

volatile std::sig_atomic_t g_interrupted = 0;

namespace {

void OnSignal(int) { g_interrupted = 1; }

std::string g_logPath;

constexpr const char* kLogEnv = "QZ_PLATFORM_LOG";
// What GetSWUpgradeStatus says while the daemon upgrades.
constexpr const char* kStatusRunning = "InProgress";

bool IsWritableDir(const char* path)
{
    struct stat st;
    return path != nullptr && *path != '\0' && stat(path, &st) == 0 && S_ISDIR(st.st_mode) &&
           access(path, W_OK) == 0;
}

std::string DefaultLogFile()
{
    const char* runtimeDir = getenv("XDG_RUNTIME_DIR");
    if (IsWritableDir(runtimeDir))
        return std::string(runtimeDir) + "/qz-swu.log";
    // /tmp is shared between users: one file each, so that nobody appends
    // to a file another user prepared.
    return "/tmp/qz-swu-" + std::to_string(getuid()) + ".log";
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

// ------------------------------------------------------------------ Client

bool Client::DaemonOnBus()
{
    return m_pGDBus != nullptr && m_pGDBus->IsAlive(qz::swu::kDaemonBusName);
}

// ----------------------------------------------------------------- Context

Context::Context(std::string command, GlobalOptions options)
    : m_command(std::move(command)), m_options(options)
{
}

Client& Context::Daemon()
{
    if (!m_client) {
        RouteLibraryLog(m_options.verbose);
        m_client = std::make_unique<Client>();
    }
    return *m_client;
}

int Context::Done(nlohmann::json fields, const std::vector<std::string>& lines)
{
    if (m_options.json) {
        nlohmann::json out = {{"command", m_command}, {"ok", true}};
        if (fields.is_object())
            out.update(fields);
        std::cout << out.dump() << std::endl;
    } else {
        for (const auto& line : lines)
            std::cout << line << '\n';
        std::cout.flush();
    }
    return kExitOk;
}

int Context::Fail(const std::string& what, const std::string& hint, nlohmann::json fields)
{
    std::string line = what;
    if (!hint.empty())
        line += "; " + hint;
    std::cerr << "qz-swu " << m_command << ": " << line << std::endl;
    if (m_options.json) {
        nlohmann::json out = {{"command", m_command}, {"ok", false}, {"error", line}};
        if (fields.is_object())
            out.update(fields);
        std::cout << out.dump() << std::endl;
    }
    return kExitFailed;
}

int Context::Refused(const std::string& what, std::optional<eSWUpgradeProcess> requester,
                     nlohmann::json fields)
{
    Client& client = Daemon();
    if (!client.DaemonOnBus()) {
        const char* bus = getenv("DBUS_SYSTEM_BUS_ADDRESS");
        fields["reason"] = "daemon-unreachable";
        return Fail(what + ": the upgrade daemon is not on the bus" +
                        (bus && *bus ? std::string(" ") + bus : std::string()),
                    "start qz-swu-daemon, or point DBUS_SYSTEM_BUS_ADDRESS at its bus", fields);
    }
    // The busy test only consults the daemon while a stored result is
    // pending, so a running upgrade is asked about on its own as well.
    if (requester && (client.isSWUpgrading(*requester) ||
                      client.GetSWUpgradeStatus() == kStatusRunning)) {
        fields["reason"] = "busy";
        return Fail(what + ": another upgrade is in progress or its result was not acknowledged",
                    "wait with 'qz-swu progress --watch', then acknowledge with 'qz-swu notify'",
                    fields);
    }
    fields["reason"] = "refused";
    return Fail(what + ": the daemon refused it",
                "see the daemon's log; library details in " + LibraryLogPath(), fields);
}

void Context::Warn(const std::string& text) const
{
    std::cerr << "qz-swu " << m_command << ": warning: " << text << std::endl;
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
        longOptions.push_back({spec.name, spec.hasArg ? required_argument : no_argument, nullptr,
                               spec.key});
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
        case kKeyHelp:
            std::cout << helpText;
            throw HelpShown{};
        case kKeyJson:
            global.json = true;
            break;
        case kKeyVerbose:
            global.verbose = true;
            break;
        case ':':
            throw UsageError(std::string("option ") + argv[optind - 1] + " needs a value");
        case '?':
            // optopt names an unknown short option; for a long one it is 0.
            if (optopt != 0)
                throw UsageError(std::string("unknown option -") + static_cast<char>(optopt));
            throw UsageError(std::string("unknown option ") + argv[optind - 1]);
        default:
            onOption(key, optarg);
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

std::string RouteLibraryLog(bool verbose)
{
    if (verbose) {
        setenv(kLogEnv, "stderr", 1);
        g_logPath = "standard error";
        return g_logPath;
    }
    const char* chosen = getenv(kLogEnv);
    if (chosen != nullptr && *chosen != '\0') {
        g_logPath = chosen;
        return g_logPath;
    }
    g_logPath = DefaultLogFile();
    setenv(kLogEnv, g_logPath.c_str(), 1);
    return g_logPath;
}

const std::string& LibraryLogPath() { return g_logPath; }

std::string ReadWholeFile(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return {};
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
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
