// qz-swu: drives software upgrades through the upgrade client library.
#include <getopt.h>

#include <cstring>
#include <iostream>
#include <sstream>

#include "Commands.h"
#include "ToolLog.h"

namespace {

using namespace qzcli;

struct Subcommand {
    const char* name;
    const char* summary;
    int (*run)(int argc, char** argv, GlobalOptions global);
};

const Subcommand kSubcommands[] = {
    {"status", "print the upgrade status", RunStatus},
    {"progress", "print (or --watch) the progress of the running upgrade", RunProgress},
    {"result", "print the last stored upgrade result", RunResult},
    {"notify", "acknowledge the last upgrade result", RunNotify},
    {"submit", "submit an upgrade given by file, version, size and URL or cabinet", RunSubmit},
    {"submit-info", "submit an upgrade described by an information file", RunSubmitInfo},
    {"check-version", "tell whether an offered version is newer than the installed one",
     RunCheckVersion},
    {"cabinet", "report cabinet upgrade progress or completion", RunCabinet},
    {"ota", "upload an OTA image to the daemon", RunOta},
};

std::string UsageText()
{
    std::ostringstream out;
    out << "Usage: qz-swu [--json] [--verbose] COMMAND [ARGS...]\n"
           "       qz-swu COMMAND --help\n"
           "\n"
           "Commands:\n";
    for (const auto& sub : kSubcommands) {
        out << "  ";
        out.width(15);
        out << std::left << sub.name << sub.summary << '\n';
    }
    out << "\n"
           "Options (before or after the command):\n"
           "  --json      exactly one JSON object on stdout, also on failure\n"
           "  --verbose   the log on stderr: what the tool asked and what came back,\n"
           "              with the library's lines (else in the log file:\n"
           "              $XDG_RUNTIME_DIR/qz-swu.log or $TMPDIR/qz-swu-UID/, or where\n"
           "              QZ_PLATFORM_LOG says)\n"
           "  --help      this text, or a command's own with COMMAND --help\n"
           "  --version   the tool's version\n"
           "\n"
           "Exit status: 0 done, 1 failed (the \"reason\" in --json mode says why),\n"
           "2 usage error, 130 interrupted; check-version: 0 newer, 1 not newer,\n"
           "3 no answer. See qz-swu(1).\n";
    return out.str();
}

const Subcommand* FindSubcommand(const char* name)
{
    for (const auto& sub : kSubcommands)
        if (strcmp(sub.name, name) == 0)
            return &sub;
    return nullptr;
}

// A usage error raised inside a subcommand names it.
struct CommandUsageError {
    std::string command;
    std::string text;
};

// Options before the command. '+' stops at the first non-option, which is
// the command; its own arguments are parsed by the command.
int ParseGlobal(int argc, char** argv, GlobalOptions& global)
{
    enum { kJson = 1, kVerbose, kHelp, kVersion };
    const option options[] = {{"json", no_argument, nullptr, kJson},
                              {"verbose", no_argument, nullptr, kVerbose},
                              {"help", no_argument, nullptr, kHelp},
                              {"version", no_argument, nullptr, kVersion},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int key;
    while ((key = getopt_long(argc, argv, "+h", options, nullptr)) != -1) {
        switch (key) {
        case kJson: global.json = true; break;
        case kVerbose: global.verbose = true; break;
        case 'h':
        case kHelp: throw HelpShown{UsageText(), ""};
        case kVersion:
            throw HelpShown{"qz-swu " QZ_SWU_VERSION "\n",
                            "",
                            {{"program", "qz-swu"}, {"version", QZ_SWU_VERSION}}};
        default: throw UsageError(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    return optind;
}

int Dispatch(int argc, char** argv)
{
    GlobalOptions global;
    int first = ParseGlobal(argc, argv, global);
    if (first >= argc)
        throw UsageError("missing COMMAND");
    const char* name = argv[first];
    if (strcmp(name, "help") == 0) {
        if (first + 1 < argc && FindSubcommand(argv[first + 1])) {
            char* helpArgv[] = {argv[first + 1], const_cast<char*>("--help"), nullptr};
            return FindSubcommand(argv[first + 1])->run(2, helpArgv, global);
        }
        throw HelpShown{UsageText(), ""};
    }
    const Subcommand* sub = FindSubcommand(name);
    if (sub == nullptr)
        throw UsageError(std::string("unknown command '") + name + "'");
    try {
        return sub->run(argc - first, argv + first, global);
    } catch (const UsageError& e) {
        throw CommandUsageError{sub->name,
                                std::string(e.what()) + "; see 'qz-swu " + sub->name + " --help'"};
    }
}

// --json anywhere before a "--" asks for JSON, also when the command line
// is too broken to be parsed.
bool JsonRequested(int argc, char** argv)
{
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--json") == 0)
            return true;
    return false;
}

// The one way main reports what ends the run outside a subcommand's own
// outcome: help, the version, usage errors and the unexpected.
int Report(bool json, const std::string& command, bool ok, const char* why, const std::string& text,
           int exitCode, const nlohmann::json& fields = nlohmann::json::object())
{
    if (json) {
        nlohmann::json out = {
            {"command", command.empty() ? nlohmann::json(nullptr) : nlohmann::json(command)},
            {"ok", ok}};
        if (ok && !fields.empty()) {
            out.update(fields);
        } else if (ok) {
            out["help"] = text;
        } else {
            out["reason"] = why;
            out["error"] = text;
        }
        std::cout << JsonLine(out) << std::endl;
    } else if (ok) {
        std::cout << text;
    }
    if (!ok)
        std::cerr << "qz-swu" << (command.empty() ? "" : " " + command) << ": " << text
                  << std::endl;
    return exitCode;
}

int Run(int argc, char** argv)
{
    bool json = JsonRequested(argc, argv);
    try {
        return Dispatch(argc, argv);
    } catch (const HelpShown& help) {
        return Report(json, help.command, true, nullptr, help.text, kExitOk, help.fields);
    } catch (const CommandUsageError& e) {
        return Report(json, e.command, false, reason::kUsage, e.text, kExitUsage);
    } catch (const UsageError& e) {
        return Report(json, "", false, reason::kUsage,
                      std::string(e.what()) + "; see 'qz-swu --help'", kExitUsage);
    } catch (const std::exception& e) {
        return Report(json, "", false, reason::kInternal,
                      std::string(e.what()) + "; run again with --verbose for details",
                      kExitFailed);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    InstallSignalHandlers();
    int exitCode = Run(argc, argv);
    FinishLog();
    return exitCode;
}
