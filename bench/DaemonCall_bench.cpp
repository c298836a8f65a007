// A daemon command end to end: GetSWUpgradeStatus against a busy reference
// daemon, next to a bare GDBus call of the same method with the same
// arguments on the same connection and daemon.
#include <benchmark/benchmark.h>
#include <gio/gio.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "BenchEnv.h"
#include "Paired.h"
#include "SWUContract.h"
#include "SWUpgradeInterface.h"
#include "TestSupport.h"

namespace {

// With the daemon busy, GetSWUpgradeStatus settles on the bus reply alone
// and never reads the key-value store, so both sides make one round trip.
const std::vector<std::string> kBusyDaemonArgs{"--reply", "16393=InProgressStatus",
                                               "--no-ota-socket"};
constexpr const char* kInProgress = "InProgress";

SWUpgradeInterface* g_client = nullptr;
GDBusConnection* g_connection = nullptr;

// The same call the client's endpoint makes, with nothing around it.
bool BareStatusCall(GDBusConnection* connection)
{
    static const guchar kNoBytes = 0;
    GVariant* noBytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, &kNoBytes, 0, 1);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection, qz::swu::kDaemonBusName, qztest::kObjectPath, qztest::kInterfaceName,
        "SendByteMessageWithRet", g_variant_new("(i@ay)", qz::swu::kCmdQueryState, noBytes),
        nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, &error);
    if (reply == nullptr || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)")))
        return false;
    const char* text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    return std::strcmp(text, qz::swu::kReplyInProgress) == 0;
}

// The limit.
void BM_StatusBareCall(benchmark::State& state)
{
    for (auto _ : state) {
        if (!BareStatusCall(g_connection)) {
            state.SkipWithError("bare call did not get \"InProgressStatus\"");
            break;
        }
    }
}

// The figure.
void BM_StatusClient(benchmark::State& state)
{
    for (auto _ : state) {
        std::string status = g_client->GetSWUpgradeStatus();
        if (status != kInProgress) {
            state.SkipWithError(("GetSWUpgradeStatus gave \"" + status + "\"").c_str());
            break;
        }
    }
}

// Both calls in turns, each timed on its own (see Paired.h). The figures
// are the counters: the median round trip of each and their ratio.
void BM_StatusPaired(benchmark::State& state)
{
    qzbench::PairedTimes times;
    bool ok = true;
    for (auto _ : state) {
        const bool clientFirst = times.FigureFirst();
        for (bool clientTurn : {clientFirst, !clientFirst})
            times.Time(clientTurn, [&] {
                ok = (clientTurn ? g_client->GetSWUpgradeStatus() == kInProgress
                                 : BareStatusCall(g_connection)) &&
                     ok;
            });
    }
    if (!ok) {
        state.SkipWithError("a call did not get the busy reply");
        return;
    }
    state.counters["bare_us"] = times.LimitMedian() * 1e6;
    state.counters["client_us"] = times.FigureMedian() * 1e6;
    state.counters["ratio"] = times.Ratio();
}

BENCHMARK(BM_StatusBareCall)->UseRealTime();
BENCHMARK(BM_StatusClient)->UseRealTime();
BENCHMARK(BM_StatusPaired)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    return qzbench::RunBenchmarks(argc, argv, [] {
        qzbench::BenchBus bus;
        // A store root of our own: nothing the client might read leaks in
        // from the machine.
        qztest::KvStoreRoot store;
        qztest::DaemonProcess daemon(kBusyDaemonArgs);
        auto client = std::make_unique<SWUpgradeInterface>();
        // The client's endpoint uses the process's shared system-bus
        // connection; the bare call takes the very same one.
        g_autoptr(GDBusConnection) connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
        if (connection == nullptr)
            throw std::runtime_error("no connection to the private bus");
        g_client = client.get();
        g_connection = connection;
        benchmark::RunSpecifiedBenchmarks();
        g_client = nullptr;
        g_connection = nullptr;
    });
}
