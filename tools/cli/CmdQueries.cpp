// Subcommands that read: status, progress (once or watched) and result.
#include <chrono>
#include <iostream>
#include <thread>

#include "Commands.h"
#include "ProgressBar.h"
#include "ToolLog.h"

namespace qzcli {

namespace {

// The status text the library gives while the daemon reports a running
// upgrade.
constexpr const char* kRunning = "InProgress";

// Only exactly "false" counts as acknowledged, as the library's busy test
// reads the stored flag; anything else is still pending.
bool Acknowledged(const stSWUpgradeResult& r) { return r.szPending == "false"; }

// The stored id as a number when it is one; its text is kept beside it.
nlohmann::json NumericId(const std::string& text)
{
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return nullptr;
    return std::stoll(text);
}

nlohmann::json ResultFields(const stSWUpgradeResult& r)
{
    return {{"pending", !Acknowledged(r)},    {"id", NumericId(r.szID)}, {"id_text", r.szID},
            {"result", r.szResult},           {"process", r.szProcess},  {"extra", r.szExtra},
            {"acknowledged", Acknowledged(r)}};
}

std::vector<std::string> ResultLines(const stSWUpgradeResult& r)
{
    std::string ack = Acknowledged(r) ? "yes" : "no (run 'qz-swu notify')";
    return {"result: " + r.szResult, "id: " + r.szID, "requested by: " + r.szProcess,
            "extra: " + r.szExtra, "acknowledged: " + ack};
}

}  // namespace

// ------------------------------------------------------------------ status

namespace {

const char kStatusHelp[] =
    "Usage: qz-swu status [--json] [--verbose]\n"
    "\n"
    "Prints the upgrade status: InProgress while the daemon upgrades, the last\n"
    "result while it has not been acknowledged, else Idle. When the daemon does\n"
    "not answer, the stored result is shown as such and the exit status is 1.\n"
    "\n"
    "Exit status: 0 the daemon answered, 1 it did not (see the message), 2 usage\n"
    "error.\n";

// Without the daemon the stored result is all there is: shown, but for
// what it is.
nlohmann::json StoredResult(Client& client, std::vector<std::string>& lines)
{
    stSWUpgradeResult result;
    if (!client.readResult(&result)) {
        LogNote("status: no upgrade result is stored yet");
        lines.push_back("stored result (the daemon was not asked): none");
        return nullptr;
    }
    lines.push_back("stored result (the daemon was not asked): " + result.szResult +
                    ", acknowledged: " + (Acknowledged(result) ? "yes" : "no"));
    return ResultFields(result);
}

}  // namespace

int RunStatus(int argc, char** argv, GlobalOptions global)
{
    auto rest = ParseArguments(argc, argv, {}, global, kStatusHelp, [](int, const char*) {});
    ExpectPositionals(rest, 0, "");
    Context ctx("status", global);
    Client& client = ctx.Daemon();
    std::vector<std::string> stored;
    nlohmann::json storedFields = StoredResult(client, stored);
    if (auto failed = ctx.RequireDaemon(
            "no status", {{"daemon", false}, {"stored_result", storedFields}}, stored))
        return *failed;
    std::string status = client.GetSWUpgradeStatus();
    if (ctx.DaemonLeft())
        return ctx.Lost("no status", {{"daemon", false}});
    return ctx.Done({{"status", status}, {"daemon", true}}, {"status: " + status});
}

// ---------------------------------------------------------------- progress

namespace {

const char kProgressHelp[] =
    "Usage: qz-swu progress [--watch [--interval MS] [--timeout S] [--events]]\n"
    "                       [--json] [--verbose]\n"
    "\n"
    "Prints the progress of the running upgrade, in percent, as the daemon\n"
    "reports it.\n"
    "\n"
    "  --watch         follow the upgrade until its status leaves InProgress, with\n"
    "                  a live bar on a terminal and one line per change otherwise,\n"
    "                  then print the result; ends at once when nothing runs, and\n"
    "                  with an error when the daemon leaves the bus meanwhile\n"
    "  --interval MS   time between two polls, 20 to 10000 (default 200)\n"
    "  --timeout S     give up after S seconds (default 0: wait as long as it runs)\n"
    "  --events        with --json: one JSON line per change before the final object\n"
    "\n"
    "Exit status: 0 done, 1 failed (daemon unreachable, refused or lost, no valid\n"
    "answer, timed out), 2 usage error, 130 interrupted.\n";

struct WatchArgs {
    bool watch = false;
    bool events = false;
    long long intervalMs = 200;
    long long timeoutS = 0;
};

int ProgressOnce(Context& ctx)
{
    if (auto failed = ctx.RequireDaemon("no progress"))
        return *failed;
    Client& client = ctx.Daemon();
    int progress = 0;
    if (client.GetUpgradeProgress(progress))
        return ctx.Done({{"progress", progress}}, {"progress: " + std::to_string(progress) + "%"});
    if (ctx.DaemonLeft())
        return ctx.Lost("no progress");
    return ctx.Fail(reason::kRefused, "no progress: the daemon gave no valid progress answer",
                    "is an upgrade running? try 'qz-swu status'",
                    {{"stored_progress", client.readProgress()}});
}

// Sleeps for the poll interval in small steps so that Ctrl-C is prompt.
void PollPause(long long intervalMs)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(intervalMs);
    while (!g_interrupted && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

int WatchEnded(Context& ctx, const std::string& status, int progress)
{
    nlohmann::json fields = {{"status", status}, {"progress", progress}};
    std::vector<std::string> lines = {"upgrade ended: " + status};
    stSWUpgradeResult result;
    if (ctx.Daemon().readResult(&result)) {
        fields["result"] = ResultFields(result);
        auto more = ResultLines(result);
        lines.insert(lines.end(), more.begin(), more.end());
    } else {
        fields["result"] = nullptr;
        lines.push_back("no result stored");
    }
    return ctx.Done(fields, lines);
}

int ProgressWatch(Context& ctx, const WatchArgs& args)
{
    if (auto failed = ctx.RequireDaemon("cannot watch"))
        return *failed;
    Client& client = ctx.Daemon();
    ProgressBar bar("upgrade", ctx.ProgressStyle(args.events), 1, ctx.Command());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(args.timeoutS);
    int progress = 0;
    while (true) {
        // Checked before asking again: Ctrl-C from a terminal may also have
        // stopped the daemon, whose absence must not read as "ended".
        if (g_interrupted) {
            bar.Finish();
            return ctx.Fail(reason::kInterrupted, "interrupted", "the upgrade goes on",
                            {{"progress", progress}}, {}, kExitInterrupt);
        }
        std::string status = client.GetSWUpgradeStatus();
        int latest = 0;
        if (client.GetUpgradeProgress(latest))
            progress = latest;
        // A daemon that went away reads as "not in progress" to the library:
        // only its name's owner tells an ended upgrade from a lost daemon.
        if (ctx.DaemonLeft()) {
            bar.Finish();
            return ctx.Lost("watch ended at " + std::to_string(progress) + "%",
                            {{"progress", progress}});
        }
        bar.Show(progress, status);
        if (status != kRunning) {
            bar.Finish();
            return WatchEnded(ctx, status, progress);
        }
        if (args.timeoutS > 0 && std::chrono::steady_clock::now() >= deadline) {
            bar.Finish();
            return ctx.Fail(
                reason::kTimeout,
                "upgrade still in progress after " + std::to_string(args.timeoutS) + " s",
                "watch again, or raise --timeout", {{"progress", progress}});
        }
        PollPause(args.intervalMs);
    }
}

}  // namespace

int RunProgress(int argc, char** argv, GlobalOptions global)
{
    enum { kWatch = 1, kInterval, kTimeout, kEvents };
    WatchArgs args;
    bool tuned = false;
    auto rest = ParseArguments(argc, argv,
                               {{"watch", false, kWatch},
                                {"interval", true, kInterval},
                                {"timeout", true, kTimeout},
                                {"events", false, kEvents}},
                               global, kProgressHelp, [&](int key, const char* arg) {
                                   switch (key) {
                                   case kWatch: args.watch = true; break;
                                   case kInterval:
                                       args.intervalMs = ParseInteger(arg, "--interval", 20, 10000);
                                       tuned = true;
                                       break;
                                   case kTimeout:
                                       args.timeoutS = ParseInteger(arg, "--timeout", 0, 86400);
                                       tuned = true;
                                       break;
                                   case kEvents:
                                       args.events = true;
                                       tuned = true;
                                       break;
                                   }
                               });
    ExpectPositionals(rest, 0, "");
    if (tuned && !args.watch)
        throw UsageError("--interval, --timeout and --events go with --watch");
    if (args.events && !global.json)
        throw UsageError("--events goes with --json");
    Context ctx("progress", global);
    return args.watch ? ProgressWatch(ctx, args) : ProgressOnce(ctx);
}

// ------------------------------------------------------------------ result

namespace {

const char kResultHelp[] =
    "Usage: qz-swu result [--json] [--verbose]\n"
    "\n"
    "Prints the last upgrade result that the daemon stored in the key-value store\n"
    "(QZ_KVSTORE_DIR with the stand-in platform): result, id, requester, extra\n"
    "text and whether it has been acknowledged with 'qz-swu notify'.\n"
    "\n"
    "The daemon is not asked: the result is read from the store even while it is\n"
    "down.\n"
    "\n"
    "Exit status: 0 done, 1 no result stored, 2 usage error.\n";

}  // namespace

int RunResult(int argc, char** argv, GlobalOptions global)
{
    auto rest = ParseArguments(argc, argv, {}, global, kResultHelp, [](int, const char*) {});
    ExpectPositionals(rest, 0, "");
    Context ctx("result", global);
    stSWUpgradeResult result;
    if (!ctx.Daemon().readResult(&result))
        return ctx.Fail(reason::kNoResult, "no upgrade result is stored",
                        "one appears when an upgrade ends; check QZ_KVSTORE_DIR");
    return ctx.Done(ResultFields(result), ResultLines(result));
}

}  // namespace qzcli
