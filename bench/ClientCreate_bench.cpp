// Client construction: SWUpgradeInterface() and its destruction against the
// same steps done bare with GDBus on the same bus in the same run: take the
// shared system-bus connection, parse the interface description, register
// the object, ask for the library's name; then give all of it back.
#include <benchmark/benchmark.h>
#include <gio/gio.h>

#include <cstdio>
#include <memory>

#include "BenchEnv.h"
#include "Paired.h"
#include "QZGDBus.h"
#include "SWUContract.h"
#include "SWUpgradeInterface.h"

namespace {

void NoCall(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
            GDBusMethodInvocation*, gpointer)
{
}

// The limit: the bus work of a client's lifetime and nothing else.
bool BareClientLifetime()
{
    static const GDBusInterfaceVTable kVTable = {NoCall, nullptr, nullptr, {nullptr}};
    GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (connection == nullptr)
        return false;
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(g_GDBusInterfaceXML, nullptr);
    const guint registration = node == nullptr ? 0
                                               : g_dbus_connection_register_object(
                                                     connection, node->path, node->interfaces[0],
                                                     &kVTable, nullptr, nullptr, nullptr);
    const guint owner = g_bus_own_name_on_connection(connection, qz::swu::kLibraryBusName,
                                                     G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr,
                                                     nullptr, nullptr);
    g_bus_unown_name(owner);
    if (node != nullptr)
        g_dbus_node_info_unref(node);
    if (registration != 0)
        g_dbus_connection_unregister_object(connection, registration);
    g_object_unref(connection);
    return registration != 0 && owner != 0;
}

// Name-owner callbacks and replies queue on this thread's main context;
// they are handled between turns so that neither side pays for the other's.
void DrainMainContext()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

void BM_ConstructPaired(benchmark::State& state)
{
    qzbench::PairedTimes times;
    bool ok = true;
    for (auto _ : state) {
        const bool clientFirst = times.FigureFirst();
        for (bool clientTurn : {clientFirst, !clientFirst}) {
            if (clientTurn)
                times.Time(true, [] { std::make_unique<SWUpgradeInterface>(); });
            else
                times.Time(false, [&] { ok = BareClientLifetime() && ok; });
            DrainMainContext();
        }
    }
    if (!ok) {
        state.SkipWithError("the bare steps failed on the private bus");
        return;
    }
    state.counters["client_us"] = times.FigureMedian() * 1e6;
    state.counters["bare_us"] = times.LimitMedian() * 1e6;
    state.counters["ratio"] = times.Ratio();
}

BENCHMARK(BM_ConstructPaired)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    return qzbench::RunBenchmarks(argc, argv, [] {
        qzbench::BenchBus bus;
        // The shared connection is made once, as in an application; both
        // sides then take it from GLib's cache.
        g_autoptr(GDBusConnection) connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
        if (connection == nullptr)
            throw std::runtime_error("no connection to the private bus");
        benchmark::RunSpecifiedBenchmarks();
    });
}
