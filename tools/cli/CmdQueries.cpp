// Subcommands that read: status, progress (once or watched) and result.
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "Commands.h"
#include "ProgressBar.h"

namespace qzcli {

namespace {

// The status text the library gives while the daemon reports a running
// upgrade.
constexpr const char* kRunning = "InProgress";

int DaemonMissing(Context& ctx, const std::string& what, nlohmann::json fields = {})
{
    fields["reason"] = "daemon-unreachable";
    return ctx.Fail(what + ": the upgrade daemon is not on the bus",
                    "start qz-swu-daemon, or point DBUS_SYSTEM_BUS_ADDRESS at its bus", fields);
}

nlohmann::json ResultFields(const stSWUpgradeResult& r)
{
    return {{"pending", r.szPending}, {"id", r.szID},       {"result", r.szResult},
            {"process", r.szProcess}, {"extra", r.szExtra}, {"acknowledged", r.szPending == "false"}};
}

std::vector<std::string> ResultLines(const stSWUpgradeResult& r)
{
    // Only exactly "false" counts as acknowledged; anything else still holds
    // the next upgrade back.
    std::string ack = r.szPending == "false" ? "yes" : "no (run 'qz-swu notify')";
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
    "result while it has not been acknowledged, else Idle. Without the daemon the\n"
    "status comes from the stored result alone (a warning says so).\n"
    "\n"
    "Exit status: 0 done, 2 usage error.\n";

}  // namespace

int RunStatus(int argc, char** argv, GlobalOptions global)
{
    auto rest = ParseArguments(argc, argv, {}, global, kStatusHelp, [](int, const char*) {});
    ExpectPositionals(rest, 0, "");
    Context ctx("status", global);
    Client& client = ctx.Daemon();
    std::string status = client.GetSWUpgradeStatus();
    bool onBus = client.DaemonOnBus();
    if (!onBus)
        ctx.Warn("the upgrade daemon is not on the bus; status from the stored result only");
    return ctx.Done({{"status", status}, {"daemon", onBus}}, {"status: " + status});
}

// ---------------------------------------------------------------- progress

namespace {

const char kProgressHelp[] =
    "Usage: qz-swu progress [--watch [--interval MS] [--timeout S]] [--json] [--verbose]\n"
    "\n"
    "Prints the progress of the running upgrade, in percent, as the daemon\n"
    "reports it.\n"
    "\n"
    "  --watch         follow the upgrade until its status leaves InProgress, with\n"
    "                  a live bar on a terminal and one line per change otherwise,\n"
    "                  then print the result; ends at once when nothing runs\n"
    "  --interval MS   time between two polls, 20 to 10000 (default 200)\n"
    "  --timeout S     give up after S seconds (default 0: wait as long as it runs)\n"
    "\n"
    "With --json and --watch every change is one JSON line, the last line is the\n"
    "final object with status, progress and result.\n"
    "\n"
    "Exit status: 0 done, 1 daemon unreachable, no valid answer or timed out,\n"
    "2 usage error, 130 interrupted.\n";

struct WatchArgs {
    bool watch = false;
    long long intervalMs = 200;
    long long timeoutS = 0;
};

int ProgressOnce(Context& ctx)
{
    Client& client = ctx.Daemon();
    int progress = 0;
    if (client.GetUpgradeProgress(progress))
        return ctx.Done({{"progress", progress}}, {"progress: " + std::to_string(progress) + "%"});
    if (!client.DaemonOnBus())
        return DaemonMissing(ctx, "no progress");
    return ctx.Fail("the daemon gave no valid progress answer",
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

int ProgressWatch(Context& ctx, const WatchArgs& args)
{
    Client& client = ctx.Daemon();
    if (!client.DaemonOnBus())
        return DaemonMissing(ctx, "cannot watch");

    ProgressBar bar("upgrade", !ctx.Json() && ProgressBar::StdoutIsTerminal(), 1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(args.timeoutS);
    int progress = 0;
    int lastShown = -1;
    std::string status;
    while (true) {
        // Checked before asking again: Ctrl-C from a terminal may also have
        // stopped the daemon, whose absence must not read as "ended".
        if (g_interrupted) {
            bar.Finish();
            std::cerr << "qz-swu progress: interrupted; the upgrade goes on" << std::endl;
            return kExitInterrupt;
        }
        status = client.GetSWUpgradeStatus();
        int latest = 0;
        if (client.GetUpgradeProgress(latest))
            progress = latest;
        if (progress != lastShown) {
            if (ctx.Json())
                std::cout << nlohmann::json{{"command", ctx.Command()}, {"event", "progress"},
                                            {"progress", progress}}.dump()
                          << std::endl;
            else
                bar.Show(progress, status);
            lastShown = progress;
        }
        if (status != kRunning)
            break;
        if (args.timeoutS > 0 && std::chrono::steady_clock::now() >= deadline) {
            bar.Finish();
            return ctx.Fail("upgrade still in progress after " + std::to_string(args.timeoutS) +
                                " s",
                            "watch again, or raise --timeout", {{"progress", progress}});
        }
        PollPause(args.intervalMs);
    }
    bar.Finish();

    nlohmann::json fields = {{"status", status}, {"progress", progress}};
    std::vector<std::string> lines = {"upgrade ended: " + status};
    stSWUpgradeResult result;
    if (client.readResult(&result)) {
        fields["result"] = ResultFields(result);
        auto more = ResultLines(result);
        lines.insert(lines.end(), more.begin(), more.end());
    } else {
        fields["result"] = nullptr;
        lines.push_back("no result stored");
    }
    return ctx.Done(fields, lines);
}

}  // namespace

int RunProgress(int argc, char** argv, GlobalOptions global)
{
    enum { kWatch = 1, kInterval, kTimeout };
    WatchArgs args;
    bool tuned = false;
    auto rest = ParseArguments(
        argc, argv, {{"watch", false, kWatch}, {"interval", true, kInterval}, {"timeout", true, kTimeout}},
        global, kProgressHelp, [&](int key, const char* arg) {
            switch (key) {
            case kWatch: args.watch = true; break;
            case kInterval: args.intervalMs = ParseInteger(arg, "--interval", 20, 10000); tuned = true; break;
            case kTimeout: args.timeoutS = ParseInteger(arg, "--timeout", 0, 86400); tuned = true; break;
            }
        });
    ExpectPositionals(rest, 0, "");
    if (tuned && !args.watch)
        throw UsageError("--interval and --timeout go with --watch");
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
    "Exit status: 0 done, 1 no result stored, 2 usage error.\n";

}  // namespace

int RunResult(int argc, char** argv, GlobalOptions global)
{
    auto rest = ParseArguments(argc, argv, {}, global, kResultHelp, [](int, const char*) {});
    ExpectPositionals(rest, 0, "");
    Context ctx("result", global);
    stSWUpgradeResult result;
    if (!ctx.Daemon().readResult(&result))
        return ctx.Fail("no upgrade result is stored",
                        "one appears when an upgrade ends; check QZ_KVSTORE_DIR");
    return ctx.Done(ResultFields(result), ResultLines(result));
}

}  // namespace qzcli
