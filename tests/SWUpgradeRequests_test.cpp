// Element lookup in information files, and the request forms that build the
// request themselves (information file, download address, cabinet offset).
#include <gtest/gtest.h>
#include <vconf.h>

#include <memory>
#include <string>
#include <vector>

#include "SWUInterfaceData.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"
#include "TestSupport.h"

using qztest::DaemonProcess;
using qztest::KvStoreRoot;
using qztest::LogCapture;
using qztest::WaitUntil;
namespace swu = qz::swu;

namespace {

const std::string kInvalidFileLine = "\e[1m\e[33mInvalid SWUpgrade information File\e[0;m";

std::string Highlight(const std::string& text) { return "\e[1m\e[33m" + text + "\e[0;m"; }

// --------------------------------------------------------------- tag lookup

struct TagCase {
    const char* content;
    const char* tag;
    bool cdata;
    const char* expected;
};

void PrintTo(const TagCase& c, std::ostream* os)
{
    *os << "tag " << c.tag << (c.cdata ? " (cdata) in " : " in ") << ::testing::PrintToString(
        std::string(c.content));
}

class TagLookup : public ::testing::TestWithParam<TagCase> {};

TEST_P(TagLookup, FindsTheFirstElementByPlainTextSearch)
{
    const TagCase& c = GetParam();
    EXPECT_EQ(c.expected, GetContextbyTag(c.content, c.tag, c.cdata));
}

INSTANTIATE_TEST_SUITE_P(
    Elements, TagLookup,
    ::testing::Values(
        TagCase{"<file_size>42</file_size>", "file_size", false, "42"},
        TagCase{"<a>1</a>", "file_size", false, ""},
        TagCase{"<file_size>42", "file_size", false, ""},
        TagCase{"42</file_size>", "file_size", false, ""},
        TagCase{"", "file_size", true, ""},
        TagCase{"<V>1</V>", "v", false, ""},
        TagCase{"<file_name lang=\"en\" >a.img</file_name>", "file_name", false, "a.img"},
        TagCase{"<x><file_name\n>b</file_name></x>", "file_name", false, "b"},
        // The opening mark is a prefix match; the closing mark is exact.
        TagCase{"<file_size_max>9</file_size_max><file_size>42</file_size>", "file_size", false,
                "9</file_size_max><file_size>42"},
        TagCase{"<v>1</v><v>2</v>", "v", false, "1"},
        TagCase{"<v>a<v>b</v>c</v>", "v", false, "a<v>b"},
        // A closing mark before the opening one: the value runs to the end.
        TagCase{"</v>x<v>tail", "v", false, "tail"},
        TagCase{"</v><v>", "v", false, ""},
        TagCase{"</v><v", "v", false, ""},
        TagCase{"<v>  a b \n</v>", "v", false, "  a b \n"},
        TagCase{"<v>&lt;x&gt;</v>", "v", true, "&lt;x&gt;"}));

INSTANTIATE_TEST_SUITE_P(
    CharacterData, TagLookup,
    ::testing::Values(
        TagCase{"<v><![CDATA[abc]]></v>", "v", false, "<![CDATA[abc]]>"},
        TagCase{"<v><![CDATA[abc]]></v>", "v", true, "abc"},
        TagCase{"<v><![CDATA[]]></v>", "v", true, ""},
        TagCase{"<v>ab[CDATA[VALUE]]></v>", "v", true, "VALUE"},
        TagCase{"<v>[[[[[[[[[VALUE]]]</v>", "v", true, "[[[[[[[[[VALUE]]]"},
        TagCase{"<v>plain</v>", "v", true, "plain"},
        TagCase{"<v>CDATA1234</v>", "v", true, ""},
        TagCase{"<v>CDATA12345</v>", "v", true, "5"},
        TagCase{"<v>CDATA1234ab</v>", "v", true, "ab"},
        TagCase{"<v>CDATA1234abc</v>", "v", true, ""},
        TagCase{"<v>xCDATAx</v>", "v", true, "xCDATAx"},
        TagCase{"<v>CDATA</v>", "v", true, "CDATA"}));

TEST(TagLookupInput, NullTagGivesEmptyText)
{
    EXPECT_EQ("", GetContextbyTag("<v>1</v>", nullptr, true));
}

// ------------------------------------------------------ daemon-backed forms

std::vector<nlohmann::json> CallsOf(const DaemonProcess& daemon, int command)
{
    std::vector<nlohmann::json> found;
    for (auto& e : daemon.Events("call"))
        if (e.value("command", -1) == command)
            found.push_back(e);
    return found;
}

bool WaitForCall(const DaemonProcess& daemon, int command)
{
    return WaitUntil([&] { return !CallsOf(daemon, command).empty(); });
}

SWUDataContainer DecodeRecord(const std::string& hex)
{
    const std::vector<unsigned char> bytes = qztest::Unhex(hex);
    QzPack pack;
    pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    SWUDataContainer record;
    record.Unserialize(pack);
    return record;
}

class RequestForm : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& args)
    {
        daemon = std::make_unique<DaemonProcess>(args);
        client = std::make_unique<SWUpgradeInterface>();
    }

    SWUDataContainer SubmittedRecord()
    {
        EXPECT_TRUE(WaitForCall(*daemon, swu::kCmdSubmitRequest));
        const auto calls = CallsOf(*daemon, swu::kCmdSubmitRequest);
        EXPECT_EQ(1u, calls.size());
        return calls.empty() ? SWUDataContainer() : DecodeRecord(calls[0].value("payload", ""));
    }

    // Calls from one connection arrive in order: once the probe is journaled,
    // an earlier call of the given command would be there too.
    void ExpectNoCallBeforeProbe(int command)
    {
        client->NotifySWUpdateResult();
        ASSERT_TRUE(WaitForCall(*daemon, swu::kCmdNotifyResult));
        EXPECT_TRUE(CallsOf(*daemon, command).empty()) << "unexpected command " << command;
    }

    std::string WriteInfoFile(const std::string& content)
    {
        const std::string path = dir.File("info.xml");
        qztest::WriteFile(path, content);
        return path;
    }

    LogCapture log;
    KvStoreRoot store;
    qztest::TempDir dir;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<SWUpgradeInterface> client;
};

TEST_F(RequestForm, InfoFileFillsTheRequestFromItsElements)
{
    Start({"--reply", "16386=success"});
    const std::string path = WriteInfoFile(
        "<?xml version=\"1.0\"?>\n<package>\n"
        "  <file_size> 123456</file_size>\n"
        "  <software_version><![CDATA[2.4.1]]></software_version>\n"
        "  <meta><software_id>SW-77</software_id></meta>\n"
        "  <file_name>pkg/main.bin</file_name>\n</package>\n");
    EXPECT_TRUE(client->SoftwareUpdate("Firmware", path, "ignored", "ignored"));

    const SWUDataContainer record = SubmittedRecord();
    EXPECT_EQ("SW-77", record.m_strSoftwareID);
    EXPECT_EQ("pkg/main.bin", record.m_strFileName);
    EXPECT_EQ("2.4.1", record.m_strSWVersion);
    EXPECT_EQ(123456u, record.m_lTotalBytes);
    EXPECT_EQ(SWU_PROCESS_JOR, record.m_nProductType);
    EXPECT_EQ(SWU_TYPE_MAIN, record.m_nUpgradeType);
    EXPECT_FALSE(record.m_bIsURL);
    EXPECT_EQ("", record.m_strURL);
    EXPECT_EQ(0, record.m_nVerifyHost);
    EXPECT_EQ("", record.m_strCertificatePath);
    EXPECT_EQ("", record.m_strCabinetID);
}

TEST_F(RequestForm, MissingInfoFileStillSendsAnEmptyRequest)
{
    Start({"--reply", "16386=success"});
    EXPECT_TRUE(client->SoftwareUpdate("Firmware", dir.File("absent.xml"), "", ""));
    const SWUDataContainer record = SubmittedRecord();
    EXPECT_EQ("", record.m_strSoftwareID);
    EXPECT_EQ("", record.m_strFileName);
    EXPECT_EQ("", record.m_strSWVersion);
    EXPECT_EQ(0u, record.m_lTotalBytes);
    EXPECT_EQ(SWU_PROCESS_JOR, record.m_nProductType);
    EXPECT_EQ(0u, log.Count("Invalid SWUpgrade information File"));
}

TEST_F(RequestForm, EmptyInfoFilePathIsRefusedWithoutSending)
{
    Start({"--reply", "16386=success", "--reply", "16389=success"});
    EXPECT_FALSE(client->SoftwareUpdate("Firmware", "", "", ""));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", kInvalidFileLine));
    ExpectNoCallBeforeProbe(swu::kCmdSubmitRequest);
}

TEST_F(RequestForm, InfoFileSizeReadsLeadingDigitsOnly)
{
    Start({"--reply", "16386=success"});
    EXPECT_TRUE(client->SoftwareUpdate("Firmware", WriteInfoFile("<file_size>42abc</file_size>"),
                                       "", ""));
    EXPECT_EQ(42u, SubmittedRecord().m_lTotalBytes);
}

TEST_F(RequestForm, InfoFileSizeWithoutDigitsIsZeroAndStillSent)
{
    Start({"--reply", "16386=accepted-later"});
    EXPECT_FALSE(client->SoftwareUpdate("Firmware", WriteInfoFile("<file_size>abc</file_size>"),
                                        "", ""));
    EXPECT_EQ(0u, SubmittedRecord().m_lTotalBytes);
}

struct PlayerCase {
    const char* name;
    int mode;  // -1: key missing
    eSWUpgradeType type;
    eSWUpgradeProcess process;
};

void PrintTo(const PlayerCase& c, std::ostream* os)
{
    *os << "'" << c.name << "' with player mode " << c.mode;
}

class PlayerRequest : public RequestForm, public ::testing::WithParamInterface<PlayerCase> {};

TEST_P(PlayerRequest, PlayerTypeOnlyForPlayerApplicationInPlayerMode)
{
    const PlayerCase& c = GetParam();
    if (c.mode >= 0) {
        ASSERT_EQ(0, vconf_set_int(swu::kKeyPlayerMode, c.mode));
    }
    Start({"--reply", "16386=success"});
    EXPECT_TRUE(client->SoftwareUpdate(
        c.name, WriteInfoFile("<file_name>player.bin</file_name><software_version>5"
                              "</software_version>"),
        "", ""));
    const SWUDataContainer record = SubmittedRecord();
    EXPECT_EQ(c.type, record.m_nUpgradeType);
    EXPECT_EQ(c.process, record.m_nProductType);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PlayerRequest,
    ::testing::Values(
        PlayerCase{"Player Application", 1, SWU_TYPE_LUMORA_PLAYER, SWU_PROCESS_JOR_AUX},
        PlayerCase{"Player Application", 0, SWU_TYPE_MAIN, SWU_PROCESS_JOR},
        PlayerCase{"Player Application", -1, SWU_TYPE_MAIN, SWU_PROCESS_JOR},
        PlayerCase{"player application", 1, SWU_TYPE_MAIN, SWU_PROCESS_JOR},
        PlayerCase{"Firmware", 1, SWU_TYPE_MAIN, SWU_PROCESS_JOR}));

TEST_F(RequestForm, UrlFormKeepsTheLowWordOfTheSize)
{
    Start({"--reply", "16386=success"});
    EXPECT_TRUE(client->SoftwareUpdate("up.bin", 1LL << 32, "3.0", "https://h.invalid/up.bin"));
    const SWUDataContainer record = SubmittedRecord();
    EXPECT_EQ(0u, record.m_lTotalBytes);
    EXPECT_EQ("0", record.m_strSoftwareID);
    EXPECT_EQ("up.bin", record.m_strFileName);
    EXPECT_EQ("3.0", record.m_strSWVersion);
    EXPECT_EQ("https://h.invalid/up.bin", record.m_strURL);
    EXPECT_TRUE(record.m_bIsURL);
    EXPECT_EQ(SWU_PROCESS_URL, record.m_nProductType);
    EXPECT_EQ(SWU_TYPE_MAIN, record.m_nUpgradeType);
    EXPECT_EQ("", record.m_strCabinetID);
}

TEST_F(RequestForm, UrlFormSizeAboveFourGigabytesWraps)
{
    Start({"--reply", "16386=success"});
    EXPECT_TRUE(client->SoftwareUpdate("up.img", (1LL << 32) + 5, "3.0", "u"));
    const SWUDataContainer record = SubmittedRecord();
    EXPECT_EQ(5u, record.m_lTotalBytes);
    EXPECT_EQ(SWU_TYPE_IMAGE, record.m_nUpgradeType);
}

TEST_F(RequestForm, UrlFormRefusesMissingArgumentsWithoutSending)
{
    Start({"--reply", "16386=success", "--reply", "16389=success"});
    EXPECT_FALSE(client->SoftwareUpdate("", 10LL, "1", "u"));
    EXPECT_FALSE(client->SoftwareUpdate("f", 10LL, "", "u"));
    EXPECT_FALSE(client->SoftwareUpdate("f", 10LL, "1", std::string()));
    EXPECT_FALSE(client->SoftwareUpdate("f", 0LL, "1", "u"));
    EXPECT_EQ(4u, log.Find("SoftwareUpdate", kInvalidFileLine).size());
    ExpectNoCallBeforeProbe(swu::kCmdSubmitRequest);
}

TEST_F(RequestForm, OffsetFormReadsTheOffsetOfAMainRequest)
{
    Start({"--reply", "16386=success", "--reply", "16388=success 123456789012"});
    long long offset = -1;
    EXPECT_TRUE(client->SoftwareUpdate("main.bin", 2048LL, "1.2", offset, "CAB-3"));
    EXPECT_EQ(123456789012LL, offset);

    const SWUDataContainer record = SubmittedRecord();
    EXPECT_EQ("", record.m_strSoftwareID);
    EXPECT_EQ("CAB-3", record.m_strCabinetID);
    EXPECT_EQ(2048u, record.m_lTotalBytes);
    EXPECT_EQ(SWU_PROCESS_KAV, record.m_nProductType);
    EXPECT_FALSE(record.m_bIsURL);

    ASSERT_TRUE(WaitForCall(*daemon, swu::kCmdQueryOffset));
    const auto query = CallsOf(*daemon, swu::kCmdQueryOffset)[0];
    EXPECT_EQ("SendByteMessageWithRet", query.value("method", ""));
    EXPECT_EQ("", query.value("payload", "?"));

    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", Highlight(" Return value = success 123456789012")));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", Highlight(" Current OffSet = 123456789012")));
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", Highlight(" Return String = success")));
    // One from the submission, one from the offset query.
    EXPECT_EQ(2u, log.Find("SoftwareUpdate", Highlight(" Result is Success ")).size());
}

TEST_F(RequestForm, OffsetFormWithOnlyAWordGivesZero)
{
    Start({"--reply", "16386=success", "--reply", "16388=success"});
    long long offset = 99;
    EXPECT_TRUE(client->SoftwareUpdate("main.bin", 1LL, "1.2", offset, "CAB"));
    EXPECT_EQ(0, offset);
}

TEST_F(RequestForm, OffsetFormResultIgnoresTheQueryWord)
{
    Start({"--reply", "16386=success", "--reply", "16388=busy -5"});
    long long offset = 99;
    EXPECT_TRUE(client->SoftwareUpdate("main.bin", 1LL, "1.2", offset, "CAB"));
    EXPECT_EQ(-5, offset);
    EXPECT_TRUE(log.Has('E', "SoftwareUpdate", Highlight(" Return String = busy")));
    EXPECT_EQ(1u, log.Find("SoftwareUpdate", Highlight(" Result is Success ")).size());
}

TEST_F(RequestForm, OffsetFormQueryOfTheWrongTypeGivesZero)
{
    Start({"--reply", "16386=success", "--reply", "16388=success 7", "--wrong-type", "16388"});
    long long offset = 99;
    EXPECT_TRUE(client->SoftwareUpdate("main.bin", 1LL, "1.2", offset, "CAB"));
    EXPECT_EQ(0, offset);
    EXPECT_EQ(0u, log.Count("Current OffSet"));
}

TEST_F(RequestForm, OffsetFormDoesNotQueryForAnAuxiliaryRequest)
{
    Start({"--reply", "16386=success", "--reply", "16388=success 7", "--reply",
           "16389=success"});
    long long offset = 99;
    EXPECT_TRUE(client->SoftwareUpdate("cab.img", 1LL, "1.2", offset, "CAB"));
    EXPECT_EQ(0, offset);
    EXPECT_EQ(SWU_PROCESS_KAV_AUX, SubmittedRecord().m_nProductType);
    ExpectNoCallBeforeProbe(swu::kCmdQueryOffset);
}

TEST_F(RequestForm, OffsetFormLeavesOffsetAloneWhenRefused)
{
    Start({"--reply", "16386=refused", "--reply", "16388=success 7", "--reply",
           "16389=success"});
    long long offset = 99;
    EXPECT_FALSE(client->SoftwareUpdate("main.bin", 1LL, "1.2", offset, "CAB"));
    EXPECT_EQ(99, offset);
    ExpectNoCallBeforeProbe(swu::kCmdQueryOffset);
}

// ------------------------------------------------------------------- no bus

class NoBusRequestForm : public ::testing::Test {
protected:
    LogCapture log;
    KvStoreRoot store;
    SWUpgradeInterface client;
};

TEST_F(NoBusRequestForm, EveryFormFailsCleanlyWithoutTheDaemon)
{
    long long offset = 99;
    EXPECT_FALSE(client.SoftwareUpdate("main.bin", 1LL, "1.2", offset, "CAB"));
    EXPECT_EQ(99, offset);
    EXPECT_FALSE(client.SoftwareUpdate("up.bin", 10LL, "1", "u"));
    EXPECT_FALSE(client.SoftwareUpdate("Player Application", "/nonexistent/info.xml", "", ""));
    EXPECT_EQ(3u, log.Find("SoftwareUpdate", Highlight("Failed Sending the Message")).size());
}

}  // namespace
