// Uses the installed library the way an application does: headers from the
// install prefix, classes, free functions and type information across the
// library boundary; with "--daemon", also a call that the upgrade daemon must
// accept. Exits non-zero with a line per mismatch.
#include <SWUInterfaceData.h>
#include <SWUpgradeCallStatus.h>
#include <SWUpgradeInterface.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

int g_failures = 0;

void Expect(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "consumer: %s\n", what);
        ++g_failures;
    }
}

void CheckFreeFunctions()
{
    Expect(qz_swu_upgrade_from_type() == 0, "qz_swu_upgrade_from_type() is not 0");
    Expect(qz_swu_notify_upgrade_result() == 0, "qz_swu_notify_upgrade_result() is not 0");
    Expect(GetContextbyTag("<info><file_size unit='B'>42</file_size></info>", "file_size", false) ==
               "42",
           "GetContextbyTag did not find the element's text");
    Expect(g_GDBusInterfaceXML != nullptr &&
               std::string(g_GDBusInterfaceXML).find("SendByteMessageWithRet") != std::string::npos,
           "g_GDBusInterfaceXML does not describe the command interface");
}

// The record goes through the library's virtual functions and comes back.
void CheckRecordRoundTrip()
{
    std::unique_ptr<DataContainer> sent = std::make_unique<SWUDataContainer>();
    auto* record = dynamic_cast<SWUDataContainer*>(sent.get());
    Expect(record != nullptr, "dynamic_cast to SWUDataContainer failed across the library");
    if (record == nullptr)
        return;
    record->m_strFileName = "update.img";
    record->m_lTotalBytes = 1000;
    QzPack pack;
    Expect(sent->Serialize(pack), "Serialize failed");
    SWUDataContainer received;
    Expect(received.Unserialize(pack), "Unserialize failed");
    Expect(received.m_strFileName == "update.img" && received.m_lTotalBytes == 1000,
           "the record did not survive the byte pack");
}

// With no bus the client still comes up and answers what needs no daemon.
void CheckClientWithoutBus()
{
    SWUpgradeInterface client;
    qz_swu_clear_call_status();
    Expect(client.GetSWUpgradeStatus() == "Idle", "with no bus the status is not Idle");
    Expect(qz_swu_last_call_status() == SWU_CALL_NO_BUS, "no bus is not told as such");
    Expect(client.segmentsInfoToString().empty(), "a new client has a segment plan");
    Expect(client.m_GetUpgradeType("x.img", "1.0") == SWU_TYPE_IMAGE,
           "an image file name is not classified as an image upgrade");
    Expect(SWUpgradeInterface::m_pObject == nullptr, "m_pObject is set");
}

// A cabinet progress report is accepted only on the daemon's "success".
void CheckDaemonCall()
{
    SWUpgradeInterface client;
    qz_swu_clear_call_status();
    Expect(client.CabinetUpgradeProgress(7), "the daemon did not accept cabinet progress 7");
    Expect(qz_swu_last_call_status() == SWU_CALL_ANSWERED,
           std::string("the call is told as ")
               .append(qz_swu_call_status_name(qz_swu_last_call_status()))
               .c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    const bool withDaemon = argc > 1 && std::string(argv[1]) == "--daemon";
    CheckFreeFunctions();
    CheckRecordRoundTrip();
    if (withDaemon)
        CheckDaemonCall();
    else
        CheckClientWithoutBus();
    if (g_failures == 0)
        std::printf("consumer: all checks passed\n");
    return g_failures == 0 ? 0 : 1;
}
