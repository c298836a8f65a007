// An application that links the client library and lives across daemon
// restarts: it makes one client and, for each line "call N" on standard
// input, reports a cabinet progress of N to the daemon and prints
// "call N ok" or "call N failed". The library's log says why a call failed.
#include <SWUpgradeInterface.h>

#include <iostream>
#include <sstream>
#include <string>

int main()
{
    SWUpgradeInterface client;
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
    return 0;
}
