// qz-swu: drives software upgrades through the upgrade client library.
#include <getopt.h>

#include <cstring>
#include <iostream>

#include "Commands.h"

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

void PrintUsage(std::ostream& out)
{
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
           "  --json      one JSON object on stdout instead of text\n"
           "  --verbose   library log lines on stderr (else in $XDG_RUNTIME_DIR/qz-swu.log,\n"
           "              /tmp/qz-swu-UID.log, or the file QZ_PLATFORM_LOG names)\n"
           "  --help      this text, or a command's own with COMMAND --help\n"
           "  --version   the tool's version\n"
           "\n"
           "Exit status: 0 done, 1 refused or failed, 2 usage error, 130 interrupted.\n";
}

const Subcommand* FindSubcommand(const char* name)
{
    for (const auto& sub : kSubcommands)
        if (strcmp(sub.name, name) == 0)
            return &sub;
    return nullptr;
}

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
        case kHelp: PrintUsage(std::cout); throw HelpShown{};
        case kVersion: std::cout << "qz-swu " QZ_SWU_VERSION "\n"; throw HelpShown{};
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
        PrintUsage(std::cout);
        return kExitOk;
    }
    const Subcommand* sub = FindSubcommand(name);
    if (sub == nullptr)
        throw UsageError(std::string("unknown command '") + name + "'");
    try {
        return sub->run(argc - first, argv + first, global);
    } catch (const UsageError& e) {
        throw UsageError(std::string(sub->name) + ": " + e.what() + "; see 'qz-swu " + sub->name +
                         " --help'");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    InstallSignalHandlers();
    try {
        return Dispatch(argc, argv);
    } catch (const HelpShown&) {
        return kExitOk;
    } catch (const UsageError& e) {
        std::string text = e.what();
        // Errors raised before a command is known get the general hint.
        if (text.find("--help'") == std::string::npos)
            text += "; see 'qz-swu --help'";
        std::cerr << "qz-swu: " << text << std::endl;
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "qz-swu: " << e.what() << "; run again with --verbose for details"
                  << std::endl;
        return kExitFailed;
    }
}
