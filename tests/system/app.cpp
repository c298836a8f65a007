// An application that links the client library and lives across daemon
// restarts. Like a real application it iterates its main context (in a
// thread of its own here), where the library learns whether it got its bus
// name. For each line "call N" on standard input it reports a cabinet
// progress of N to the daemon and prints "call N ok" or "call N failed"; the
// library's log says why a call failed.
#include <SWUpgradeInterface.h>
#include <glib.h>

#include <iostream>
#include <sstream>
#include <string>
#include <thread>

int main()
{
    SWUpgradeInterface client;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    std::thread events([loop] { g_main_loop_run(loop); });
    std::cout << "ready" << std::endl;

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        int value = 0;
        if (!(words >> command >> value) || command != "call") {
            std::cout << "unknown: " << line << std::endl;
            continue;
        }
        bool ok = client.CabinetUpgradeProgress(value);
        std::cout << "call " << value << (ok ? " ok" : " failed") << std::endl;
    }

    // Quit from inside the loop, which may not have started running yet.
    g_idle_add(
        [](gpointer data) {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        loop);
    events.join();
    g_main_loop_unref(loop);
    return 0;
}
