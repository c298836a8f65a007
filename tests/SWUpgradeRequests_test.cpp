// Element lookup in information files, and the request forms that build the
// request themselves (information file, download address, cabinet offset).
#include <vconf.h>

#include "SWUpgradeInterface.h"
#include "TestCommon.h"

namespace {

using qztest::ForCommand;

TEST(TagLookup, FindsTheFirstElementByPlainTextSearch)
{
    const struct {
        const char *content, *tag;
        bool stripCData;
        const char* value;
    } cases[] = {
        {"<file_name lang=\"en\" >a.img</file_name>", "file_name", false, "a.img"},
        // The opening mark is a prefix match; the closing mark is exact.
        {"<size_max>9</size_max><size>4</size>", "size", false, "9</size_max><size>4"},
        // No nesting; a closing mark before the opening one leaves the value open-ended.
        {"<v>a<v>b</v>c</v>", "v", false, "a<v>b"},
        {"<v></v>tail", "v", false, ""},
        {"</v>x<v>tail", "v", false, "tail"},
        {"<v><![CDATA[abc]]></v>", "v", false, "<![CDATA[abc]]>"},
        {"<v>1</v>", nullptr, true, ""},
        // Once "CDATA" appears, 9 leading and 3 trailing characters go.
        {"<v><![CDATA[abc]]></v>", "v", true, "abc"},
        {"<v>CDATA12345</v>", "v", true, "5"},
        // At 12 characters both markers go; from 9 to 11 only the first 9.
        {"<v><![CDATA[]]></v>", "v", true, ""},
        {"<v>CDATA1234</v>", "v", true, ""},
    };
    for (const auto& [content, tag, cdata, value] : cases)
        EXPECT_EQ(value, GetContextbyTag(content, tag, cdata)) << content << " strip=" << cdata;
}

class RequestForm : public qztest::ClientFixture {
protected:
    // The daemon journals a call before answering it: no waiting is needed.
    std::vector<std::string> Payloads(int command) { return daemon->Payloads(command); }
    // The submitted records as id|file|version|bytes|kind|requester|isURL|url|cabinet.
    std::vector<std::string> Records()
    {
        std::vector<std::string> records;
        for (const auto& hex : Payloads(swu::kCmdSubmitRequest)) {
            const SWUDataContainer r = qztest::RecordFromHex(hex);
            records.push_back(r.m_strSoftwareID + '|' + r.m_strFileName + '|' + r.m_strSWVersion +
                              '|' + std::to_string(r.m_lTotalBytes) + '|' +
                              std::to_string(r.m_nUpgradeType) + '|' +
                              std::to_string(r.m_nProductType) + '|' + (r.m_bIsURL ? "1|" : "0|") +
                              r.m_strURL + '|' + r.m_strCabinetID);
        }
        return records;
    }

    qztest::TempDir dir;
    std::optional<qztest::DaemonProcess> daemon{
        std::in_place,
        std::vector<std::string>{"--reply", ForCommand(swu::kCmdSubmitRequest, "success")}};
    SWUpgradeInterface client;
};

TEST_F(RequestForm, FileAndUrlFormsFillTheRecordAndRefuseMissingArguments)
{
    const std::string info = dir.File("info.xml");
    qztest::WriteFile(info,
                      "<file_size> 42</file_size><software_id>S7</software_id><file_name>"
                      "pkg/main.bin</file_name><software_version><![CDATA[2.4]]>"
                      "</software_version>");
    EXPECT_TRUE(client.SoftwareUpdate("Player Application", dir.File("absent.xml"), "", ""));
    // Player mode makes the player application's request a player request.
    ASSERT_EQ(0, vconf_set_int(swu::kKeyPlayerMode, 1));
    EXPECT_TRUE(client.SoftwareUpdate("Firmware", info, "", ""));
    EXPECT_TRUE(client.SoftwareUpdate("Player Application", info, "", ""));
    EXPECT_FALSE(client.SoftwareUpdate("Firmware", "", "", ""));
    EXPECT_FALSE(client.SoftwareUpdate("f", 0LL, "1", "u"));
    EXPECT_EQ(2u, log.Count("Invalid SWUpgrade information File"));
    // Only the low 32 bits of the size travel.
    EXPECT_TRUE(client.SoftwareUpdate("up", (1LL << 32) + 5, "3", "u"));
    EXPECT_EQ((std::vector<std::string>{"|||0|1|1|0||", "S7|pkg/main.bin|2.4|42|1|1|0||",
                                        "S7|pkg/main.bin|2.4|42|22|8|0||", "0|up|3|5|1|4|1|u|"}),
              Records());
}

// Files that exist but cannot be read (a folder, a file that refuses reads)
// read as the empty text, as a missing one does: the request goes out empty.
TEST_F(RequestForm, UnreadableInformationFileReadsAsEmpty)
{
    for (const std::string& path : {dir.Path(), std::string("/proc/self/mem")}) {
        bool accepted = false;
        EXPECT_NO_THROW(accepted = client.SoftwareUpdate("Firmware", path, "", "")) << path;
        EXPECT_TRUE(accepted) << path;
    }
    EXPECT_EQ((std::vector<std::string>{"|||0|1|1|0||", "|||0|1|1|0||"}), Records());
}

// A refused submission leaves the offset alone; a failed or unusable query
// gives 0, and the result stays true.
TEST_F(RequestForm, OffsetFormQueriesTheOffsetOnlyForAnAcceptedMainRequest)
{
    const int kOffset = swu::kCmdQueryOffset, kSubmit = swu::kCmdSubmitRequest;
    const struct {
        int command;
        const char *option, *value, *file, *settled;  // settled: kind|requester of the record
        bool accepted;
        size_t queries;
        long long offset;
    } cases[] = {
        {kOffset, "--reply", "success 123456789012", "main.bin", "1|2", true, 1, 123456789012LL},
        {kOffset, "--reply", "success", "main.bin", "1|2", true, 1, 0},
        {kOffset, "--reply", "fail 5", "main.bin", "1|2", true, 1, 5},
        {kOffset, "--wrong-type", nullptr, "main.bin", "1|2", true, 1, 0},
        {kOffset, "--reply", "success 7", "cab.img", "9|9", true, 0, 0},
        {kSubmit, "--reply", "Success", "main.bin", "1|2", false, 0, 99},
    };
    for (const auto& c : cases) {
        const std::string scripted =
            c.value ? ForCommand(c.command, c.value) : ForCommand(c.command);
        SCOPED_TRACE(std::string(c.file) + " " + c.option + " " + scripted);
        daemon.reset();  // the bus name is not shared
        daemon.emplace(std::vector<std::string>{"--reply", ForCommand(kSubmit, "success"), c.option,
                                                scripted});
        long long offset = 99;
        log.Clear();
        EXPECT_EQ(c.accepted, client.SoftwareUpdate(c.file, 2048LL, "1.2", offset, "CAB-3"));
        EXPECT_EQ(c.offset, offset);
        // One line for the accepted submission, one more for a query answered "success".
        const bool answeredSuccess =
            c.queries == 1 && c.value && std::string(c.value).rfind("success", 0) == 0;
        EXPECT_EQ(log.Count(" Result is Success "), c.accepted + answeredSuccess);
        EXPECT_EQ(c.queries, Payloads(kOffset).size());
        EXPECT_EQ("|" + std::string(c.file) + "|1.2|2048|" + c.settled + "|0||CAB-3",
                  Records().at(0));
    }
}

}  // namespace
