// Element lookup in information files, and the request forms that build the
// request themselves (information file, download address, cabinet offset).
#include <gtest/gtest.h>
#include <vconf.h>

#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "SWUInterfaceData.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"
#include "TestSupport.h"

using qztest::DaemonProcess;
using qztest::WaitUntil;
using Args = std::vector<std::string>;
namespace swu = qz::swu;

namespace {

std::string HL(const std::string& text) { return "\e[1m\e[33m" + text + "\e[0;m"; }
const std::string kInvalidFileLine = HL("Invalid SWUpgrade information File");

TEST(TagLookup, FindsTheFirstElementByPlainTextSearch)
{
    EXPECT_EQ("", GetContextbyTag("<v>1</v>", nullptr, true));
    const std::tuple<const char*, const char*, bool, const char*> cases[] = {
        // content, tag, strip character data, value
        {"<file_size>42</file_size>", "file_size", false, "42"},
        {"<file_size>42", "file_size", false, ""}, {"42</file_size>", "file_size", false, ""},
        {"<a>1</a>", "file_size", false, ""},      {"", "file_size", true, ""},
        {"<V>1</V>", "v", false, ""},
        {"<file_name lang=\"en\" >a.img</file_name>", "file_name", false, "a.img"},
        {"<x><file_name\n>b</file_name></x>", "file_name", false, "b"},
        // The opening mark is a prefix match; the closing mark is exact.
        {"<file_size_max>9</file_size_max><file_size>42</file_size>", "file_size", false,
         "9</file_size_max><file_size>42"},
        {"<v>1</v><v>2</v>", "v", false, "1"},   {"<v>a<v>b</v>c</v>", "v", false, "a<v>b"},
        // A closing mark before the opening one: the value runs to the end.
        {"</v>x<v>tail", "v", false, "tail"},     {"</v><v>", "v", false, ""},
        {"</v><v", "v", false, ""},               {"<v>  a b \n</v>", "v", false, "  a b \n"},
        {"<v>&lt;x&gt;</v>", "v", true, "&lt;x&gt;"},
        // Character data: once "CDATA" appears, 9 leading and 3 trailing characters go.
        {"<v><![CDATA[abc]]></v>", "v", false, "<![CDATA[abc]]>"},
        {"<v><![CDATA[abc]]></v>", "v", true, "abc"}, {"<v><![CDATA[]]></v>", "v", true, ""},
        {"<v>ab[CDATA[VALUE]]></v>", "v", true, "VALUE"},
        {"<v>[[[[[[[[[VALUE]]]</v>", "v", true, "[[[[[[[[[VALUE]]]"},
        {"<v>plain</v>", "v", true, "plain"},     {"<v>CDATA1234</v>", "v", true, ""},
        {"<v>CDATA12345</v>", "v", true, "5"},    {"<v>CDATA1234ab</v>", "v", true, "ab"},
        {"<v>CDATA1234abc</v>", "v", true, ""},   {"<v>xCDATAx</v>", "v", true, "xCDATAx"},
        {"<v>CDATA</v>", "v", true, "CDATA"}};
    for (const auto& [content, tag, cdata, value] : cases)
        EXPECT_EQ(value, GetContextbyTag(content, tag, cdata))
            << tag << (cdata ? " (cdata) in " : " in ") << ::testing::PrintToString(content);
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

// A packed record's fields in packing order, '|'-joined:
// id|file|version|bytes|kind|requester|isURL|url|verifyHost|certificate|cabinet
std::string Describe(const std::string& hex)
{
    const auto bytes = qztest::Unhex(hex);
    QzPack pack;
    pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    SWUDataContainer r;
    r.Unserialize(pack);
    std::ostringstream out;
    out << r.m_strSoftwareID << '|' << r.m_strFileName << '|' << r.m_strSWVersion << '|'
        << r.m_lTotalBytes << '|' << r.m_nUpgradeType << '|' << r.m_nProductType << '|'
        << r.m_bIsURL << '|' << r.m_strURL << '|' << r.m_nVerifyHost << '|'
        << r.m_strCertificatePath << '|' << r.m_strCabinetID;
    return out.str();
}

class RequestForm : public ::testing::Test {
protected:
    // A daemon that accepts every request and every notification (the probe of
    // ExpectNoCallBeforeProbe); the old one goes first, they share a bus name.
    void Start(const Args& args = {"--reply", "16386=success", "--reply", "16389=success"})
    {
        daemon.reset();
        daemon = std::make_unique<DaemonProcess>(args);
        if (!client)
            client = std::make_unique<SWUpgradeInterface>();
    }
    // The records submitted so far, once there are count of them.
    std::vector<std::string> Records(size_t count = 1)
    {
        EXPECT_TRUE(
            WaitUntil([&] { return CallsOf(*daemon, swu::kCmdSubmitRequest).size() >= count; }));
        std::vector<std::string> records;
        for (const auto& call : CallsOf(*daemon, swu::kCmdSubmitRequest))
            records.push_back(Describe(call.value("payload", "")));
        EXPECT_EQ(count, records.size());
        return records;
    }
    // Calls from one connection arrive in order: once the probe is journaled,
    // an earlier call of the given command would be there too.
    void ExpectNoCallBeforeProbe(int command)
    {
        client->NotifySWUpdateResult();
        ASSERT_TRUE(WaitUntil([&] { return !CallsOf(*daemon, swu::kCmdNotifyResult).empty(); }));
        EXPECT_TRUE(CallsOf(*daemon, command).empty()) << "unexpected command " << command;
    }
    std::string InfoFile(const std::string& content)
    {
        const std::string path = dir.File("info" + std::to_string(++files) + ".xml");
        qztest::WriteFile(path, content);
        return path;
    }

    qztest::LogCapture log;
    qztest::KvStoreRoot store;
    qztest::TempDir dir;
    int files = 0;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<SWUpgradeInterface> client;
};

TEST_F(RequestForm, InfoFileAndUrlFormsFillTheRequest)
{
    Start();
    EXPECT_TRUE(client->SoftwareUpdate(
        "Firmware",
        InfoFile("<?xml version=\"1.0\"?>\n<package>\n  <file_size> 123456</file_size>\n"
                 "  <software_version><![CDATA[2.4.1]]></software_version>\n"
                 "  <meta><software_id>SW-77</software_id></meta>\n"
                 "  <file_name>pkg/main.bin</file_name>\n</package>\n"),
        "ignored", "ignored"));
    for (const char* size : {"42abc", "abc"})  // leading digits only
        EXPECT_TRUE(client->SoftwareUpdate(
            "Firmware", InfoFile(std::string("<file_size>") + size + "</file_size>"), "", ""));
    // A missing file reads as empty; the request still goes out.
    EXPECT_TRUE(client->SoftwareUpdate("Firmware", dir.File("absent.xml"), "", ""));
    EXPECT_EQ(0u, log.Count("Invalid SWUpgrade information File"));
    // The URL form keeps the low 32 bits of the size.
    EXPECT_TRUE(client->SoftwareUpdate("up.bin", 1LL << 32, "3.0", "https://h.invalid/up.bin"));
    EXPECT_TRUE(client->SoftwareUpdate("up.img", (1LL << 32) + 5, "3.0", "u"));
    EXPECT_EQ((std::vector<std::string>{"SW-77|pkg/main.bin|2.4.1|123456|1|1|0||0||",
                                        "|||42|1|1|0||0||", "|||0|1|1|0||0||", "|||0|1|1|0||0||",
                                        "0|up.bin|3.0|0|1|4|1|https://h.invalid/up.bin|0||",
                                        "0|up.img|3.0|5|9|4|1|u|0||"}),
              Records(6));
}

TEST_F(RequestForm, PlayerKindOnlyForThePlayerApplicationInPlayerMode)
{
    Start();
    const std::tuple<const char*, int, const char*> cases[] = {  // name, mode (-1: none), record
        {"Player Application", -1, "|player.bin|5|0|1|1|0||0||"},
        {"Player Application", 1, "|player.bin|5|0|22|8|0||0||"},
        {"Player Application", 0, "|player.bin|5|0|1|1|0||0||"},
        {"player application", 1, "|player.bin|5|0|1|1|0||0||"},
        {"Firmware", 1, "|player.bin|5|0|1|1|0||0||"}};
    const std::string info =
        InfoFile("<file_name>player.bin</file_name><software_version>5</software_version>");
    size_t count = 0;
    for (const auto& [name, mode, record] : cases) {
        ASSERT_EQ(0, mode < 0 ? 0 : vconf_set_int(swu::kKeyPlayerMode, mode));
        EXPECT_TRUE(client->SoftwareUpdate(name, info, "", ""));
        EXPECT_EQ(record, Records(++count).back()) << name << " in mode " << mode;
    }
}

TEST_F(RequestForm, EmptyInfoFilePathOrMissingUrlArgumentIsRefusedWithoutSending)
{
    Start();
    EXPECT_FALSE(client->SoftwareUpdate("Firmware", "", "", ""));
    EXPECT_FALSE(client->SoftwareUpdate("", 10LL, "1", "u"));
    EXPECT_FALSE(client->SoftwareUpdate("f", 10LL, "", "u"));
    EXPECT_FALSE(client->SoftwareUpdate("f", 10LL, "1", std::string()));
    EXPECT_FALSE(client->SoftwareUpdate("f", 0LL, "1", "u"));
    EXPECT_EQ(5u, log.Find("SoftwareUpdate", kInvalidFileLine).size());
    ExpectNoCallBeforeProbe(swu::kCmdSubmitRequest);
}

TEST_F(RequestForm, OffsetFormQueriesTheOffsetOnlyForAnAcceptedMainRequest)
{
    // submission reply, offset reply, offset reply of the wrong type, file, kind|requester
    // settled, accepted, offset, word of the offset reply (null: no reply read)
    const std::tuple<const char*, std::string, bool, const char*, const char*, bool, long long,
                     const char*>
        cases[] = {
            {"success", "success 123456789012", false, "main.bin", "1|2", true, 123456789012LL,
             "success"},
            {"success", "success", false, "main.bin", "1|2", true, 0, "success"},
            {"success", "busy -5", false, "main.bin", "1|2", true, -5, "busy"},
            {"success", "success 7", true, "main.bin", "1|2", true, 0, nullptr},
            {"success", "success 7", false, "cab.img", "9|9", true, 0, nullptr},
            {"refused", "success 7", false, "main.bin", "1|2", false, 99, nullptr}};
    for (const auto& [submitReply, offsetReply, wrongType, file, settled, accepted, expected,
                      word] : cases) {
        SCOPED_TRACE(::testing::Message() << file << " '" << offsetReply << "' " << wrongType);
        Args args{"--reply", std::string("16386=") + submitReply, "--reply",
                  "16388=" + offsetReply, "--reply", "16389=success"};
        if (wrongType)
            args.insert(args.end(), {"--wrong-type", "16388"});
        Start(args);
        log.Clear();
        long long offset = 99;
        EXPECT_EQ(accepted, client->SoftwareUpdate(file, 2048LL, "1.2", offset, "CAB-3"));
        EXPECT_EQ(expected, offset);
        EXPECT_EQ(std::string("|") + file + "|1.2|2048|" + settled + "|0||0||CAB-3",
                  Records().at(0));
        if (word != nullptr || wrongType) {
            ASSERT_TRUE(WaitUntil([&] { return !CallsOf(*daemon, swu::kCmdQueryOffset).empty(); }));
            const auto query = CallsOf(*daemon, swu::kCmdQueryOffset);
            EXPECT_EQ(1u, query.size());
            EXPECT_EQ("SendByteMessageWithRet", query.at(0).value("method", ""));
            EXPECT_EQ("", query.at(0).value("payload", "?"));
        } else {
            ExpectNoCallBeforeProbe(swu::kCmdQueryOffset);
        }
        if (word != nullptr) {
            const char* fn = "SoftwareUpdate";
            EXPECT_TRUE(log.Has('E', fn, HL(" Return value = " + offsetReply)));
            EXPECT_TRUE(log.Has('E', fn, HL(" Current OffSet = " + std::to_string(expected))));
            EXPECT_TRUE(log.Has('E', fn, HL(std::string(" Return String = ") + word)));
        } else {
            EXPECT_EQ(0u, log.Count("Current OffSet"));
        }
        // One for the submission, one for an offset reply whose word is "success".
        const size_t successes = (accepted ? 1 : 0) + (word && std::string(word) == "success");
        EXPECT_EQ(successes, log.Find("SoftwareUpdate", HL(" Result is Success ")).size());
    }
}

// ------------------------------------------------------------------- no bus

using NoBusRequestForm = RequestForm;

TEST_F(NoBusRequestForm, EveryFormFailsCleanlyWithoutTheDaemon)
{
    client = std::make_unique<SWUpgradeInterface>();
    long long offset = 99;
    EXPECT_FALSE(client->SoftwareUpdate("main.bin", 1LL, "1.2", offset, "CAB"));
    EXPECT_EQ(99, offset);
    EXPECT_FALSE(client->SoftwareUpdate("up.bin", 10LL, "1", "u"));
    EXPECT_FALSE(client->SoftwareUpdate("Player Application", "/nonexistent/info.xml", "", ""));
    EXPECT_EQ(3u, log.Find("SoftwareUpdate", HL("Failed Sending the Message")).size());
}

}  // namespace
