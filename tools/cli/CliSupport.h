// Shared pieces of qz-swu: exit codes, argument parsing, output in text or
// JSON, and the client object the subcommands talk through.
#ifndef QZ_SWU_CLI_SUPPORT_H
#define QZ_SWU_CLI_SUPPORT_H

#include <getopt.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "SWUpgradeInterface.h"

namespace qzcli {

enum ExitCode : int {
    kExitOk = 0,         // the operation was done (or the answer is yes)
    kExitFailed = 1,     // refused by the daemon, not reachable, or the answer is no
    kExitUsage = 2,      // bad option, missing or malformed argument, unreadable input
    kExitInterrupt = 130 // stopped by SIGINT or SIGTERM
};

// Thrown for anything the user must change on the command line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown after --help has been answered.
struct HelpShown {};

// Set by SIGINT/SIGTERM; long-running loops poll it and stop cleanly.
extern volatile std::sig_atomic_t g_interrupted;
void InstallSignalHandlers();

// Options every subcommand accepts.
struct GlobalOptions {
    bool json = false;
    bool verbose = false;
};

// The library's client, with the two protected facts the tool reports on:
// whether the daemon's name has an owner, and how many OTA payload bytes
// went through the stream (frames that fail are dropped silently otherwise).
class Client : public SWUpgradeInterface {
public:
    bool DaemonOnBus();
    int32_t StreamedBytes() const { return m_nOTASentSize; }
};

// Everything a subcommand works with.
class Context {
public:
    Context(std::string command, GlobalOptions options);

    const std::string& Command() const { return m_command; }
    bool Json() const { return m_options.json; }
    GlobalOptions& Options() { return m_options; }

    // The client is built on first use, after arguments are parsed, so that
    // usage errors and --help never touch the bus.
    Client& Daemon();

    // Prints the outcome: the JSON object on stdout in --json mode (with
    // "command" and "ok" added), else the text lines. Returns the exit code.
    int Done(nlohmann::json fields, const std::vector<std::string>& lines);
    // One line on stderr ("qz-swu CMD: what; hint"); in --json mode also the
    // object on stdout. Returns kExitFailed.
    int Fail(const std::string& what, const std::string& hint,
             nlohmann::json fields = nlohmann::json::object());
    // A failure whose cause the tool works out: daemon missing, another
    // upgrade in the way (asked only for a requester), or a plain refusal.
    int Refused(const std::string& what, std::optional<eSWUpgradeProcess> requester,
                nlohmann::json fields = nlohmann::json::object());
    void Warn(const std::string& text) const;

private:
    std::string m_command;
    GlobalOptions m_options;
    std::unique_ptr<Client> m_client;
};

// A subcommand's own long option: name, whether it takes an argument, and
// the key the handler receives.
struct OptionSpec {
    const char* name;
    bool hasArg;
    int key;
};

// Parses argv (argv[0] is the subcommand's name) with getopt_long, adding
// --json, --verbose and --help; the handler gets each own option. Returns
// the positional arguments. Throws UsageError or HelpShown.
std::vector<std::string> ParseArguments(int argc, char** argv, const std::vector<OptionSpec>& own,
                                        GlobalOptions& global, const char* helpText,
                                        const std::function<void(int key, const char* arg)>& onOption);

void ExpectPositionals(const std::vector<std::string>& args, size_t count, const char* names);

// Whole-text decimal numbers; UsageError names the argument on failure.
long long ParseInteger(const std::string& text, const std::string& what, long long min,
                       long long max);

// Where library log lines go: the user's QZ_PLATFORM_LOG, standard error
// with --verbose, else a per-user file. Must run before the client exists.
std::string RouteLibraryLog(bool verbose);
const std::string& LibraryLogPath();

std::string ReadWholeFile(const std::string& path, std::string& error);
std::string HumanBytes(double bytes);

}  // namespace qzcli

#endif  // QZ_SWU_CLI_SUPPORT_H
