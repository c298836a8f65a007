// Asks for the upgrade status through the library, as an application run by
// another user would, and prints the answer and how the call to the daemon
// ended: "Idle denied".
#include <cstdio>

#include "SWUpgradeCallStatus.h"
#include "SWUpgradeInterface.h"

int main()
{
    SWUpgradeInterface client;
    qz_swu_clear_call_status();
    std::string status = client.GetSWUpgradeStatus();
    std::printf("%s %s\n", status.c_str(), qz_swu_call_status_name(qz_swu_last_call_status()));
    return 0;
}
