// Shared pieces of qz-swu: exit codes and failure reasons, argument
// parsing, output in text or JSON, and the client object the subcommands
// talk through, with the bus checks that tell why a call failed.
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

#include "BusCheck.h"
#include "ProgressBar.h"
#include "SWUpgradeInterface.h"

namespace qzcli {

enum ExitCode : int {
    kExitOk = 0,          // the daemon answered and did it (or the answer is yes)
    kExitFailed = 1,      // see the reason; also a plain "no" from check-version
    kExitUsage = 2,       // bad option, missing or malformed argument, unusable input
    kExitNoAnswer = 3,    // check-version only: no answer (its 1 is a plain "no")
    kExitInterrupt = 130  // stopped by SIGINT or SIGTERM
};

// The "reason" of a failure, in JSON and in the README's table.
namespace reason {
constexpr const char* kUsage = "usage";
constexpr const char* kDaemonUnreachable = "daemon-unreachable";
constexpr const char* kPermissionDenied = "permission-denied";
constexpr const char* kDaemonLost = "daemon-lost";
constexpr const char* kRefused = "refused";
constexpr const char* kBusy = "busy";
constexpr const char* kNoResult = "no-result";
constexpr const char* kVersionUnknown = "version-unknown";
constexpr const char* kTimeout = "timeout";
constexpr const char* kStreamFailed = "stream-failed";
constexpr const char* kInterrupted = "interrupted";
constexpr const char* kInternal = "internal";
}  // namespace reason

// Thrown for anything the user must change on the command line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown once --help or --version has been asked for; main prints it: the
// text, or in --json mode the fields when there are any, else the text as
// "help". command names the subcommand whose help it is (empty: the tool's).
struct HelpShown {
    std::string text;
    std::string command;
    nlohmann::json fields = nlohmann::json::object();
};

// Set by SIGINT/SIGTERM; long-running loops poll it and stop cleanly.
extern volatile std::sig_atomic_t g_interrupted;
void InstallSignalHandlers();

// Options every subcommand accepts.
struct GlobalOptions {
    bool json = false;
    bool verbose = false;
};

// The library's client, with the one protected fact the tool reports on:
// how many OTA payload bytes went through the stream (frames that fail are
// dropped silently otherwise).
class Client : public SWUpgradeInterface {
public:
    int32_t StreamedBytes() const { return m_nOTASentSize; }
};

// Everything a subcommand works with.
class Context {
public:
    // failureExit: the exit code of a failure that names none of its own.
    Context(std::string command, GlobalOptions options, int failureExit = kExitFailed);
    ~Context();

    const std::string& Command() const { return m_command; }
    bool Json() const { return m_options.json; }

    // The client is built on first use, after arguments are parsed, so that
    // usage errors and --help never touch the bus.
    Client& Daemon();

    // Asks the bus whether the daemon answers before anything is sent.
    // Returns the exit code of the failure it printed, or nullopt when the
    // daemon answered (its state reply is in StateReply()).
    // Fields and text lines are printed with that failure.
    std::optional<int> RequireDaemon(const std::string& what,
                                     nlohmann::json fields = nlohmann::json::object(),
                                     const std::vector<std::string>& lines = {});
    const std::string& StateReply() const { return m_look.stateReply; }
    // True when the daemon that answered RequireDaemon is no longer the
    // owner of its name: it stopped, crashed or was replaced.
    bool DaemonLeft();
    int Lost(const std::string& what, nlohmann::json fields = nlohmann::json::object());

    // Why a library call said no: the daemon left, another upgrade or an
    // unacknowledged result is in the way (asked only for a requester), or
    // the daemon refused.
    int Explain(const std::string& what, std::optional<eSWUpgradeProcess> requester,
                nlohmann::json fields = nlohmann::json::object());

    // Prints the outcome: the JSON object on stdout in --json mode (with
    // "command" and "ok" added), else the text lines. Returns the exit code.
    int Done(nlohmann::json fields, const std::vector<std::string>& lines, int exitCode = kExitOk);
    // One line on stderr ("qz-swu COMMAND: what; hint"); in --json mode also
    // the object on stdout with "error" and "reason". Lines go to stdout in
    // text mode (e.g. a stored result shown for what it is).
    int Fail(const char* why, const std::string& what, const std::string& hint,
             nlohmann::json fields = nlohmann::json::object(),
             const std::vector<std::string>& lines = {},
             std::optional<int> exitCode = std::nullopt);
    void Warn(const std::string& text) const;
    // A step of the command for the log (and stderr with --verbose): what
    // was asked and what came back, so that a person can follow it.
    void Note(const std::string& text);

    // How a progress display fits the output: live bar on a terminal, plain
    // lines on a pipe; in --json mode JSON lines if asked for, else nothing.
    BarStyle ProgressStyle(bool jsonEvents) const;

private:
    void SetUpLogOnce();
    // What holds a request of this requester back, in words; nullopt when
    // nothing does.
    std::optional<std::string> InTheWay(eSWUpgradeProcess requester);
    BusCheck& Bus();
    int NotAnswering(const std::string& what, nlohmann::json fields,
                     const std::vector<std::string>& lines);

    std::string m_command;
    GlobalOptions m_options;
    int m_failureExit;
    std::unique_ptr<Client> m_client;
    std::unique_ptr<BusCheck> m_bus;
    DaemonLook m_look;
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
std::vector<std::string> ParseArguments(
    int argc, char** argv, const std::vector<OptionSpec>& own, GlobalOptions& global,
    const char* helpText, const std::function<void(int key, const char* arg)>& onOption);

void ExpectPositionals(const std::vector<std::string>& args, size_t count, const char* names);

// Whole-text decimal numbers; UsageError names the argument on failure.
long long ParseInteger(const std::string& text, const std::string& what, long long min,
                       long long max);

// One JSON document on one line. Bytes that are not UTF-8 (from an
// argument, a file name, a stored text) become U+FFFD rather than ending
// the run without a document.
std::string JsonLine(const nlohmann::json& document);

std::string HumanBytes(double bytes);
// "1 frame", "2 frames": the count and the noun, in the plural unless it is 1.
std::string Counted(long long count, const std::string& noun);

}  // namespace qzcli

#endif  // QZ_SWU_CLI_SUPPORT_H
