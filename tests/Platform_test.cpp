// The platform layers: the log's sinks, the key-value store's files, the system information.
#include <dlog.h>
#include <system_info.h>
#include <vconf.h>

#include <sys/stat.h>
#include <utime.h>

#include <regex>
#include <set>

#include "TestCommon.h"

using namespace qztest;

namespace {

// "<date> <time>.<ms> <P>/<tag>(<pid>): <message>", one line per call.
std::string LineOf(const std::string& prio, const std::string& tag, const std::string& message)
{
    return R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )" + prio + "/" + tag + R"(\()" +
           std::to_string(getpid()) + R"(\): )" + message + "\n";
}

void ExpectMatches(const std::string& text, const std::string& pattern)
{
    EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << text;
}

TEST(PlatformLog, FileSinkAppendsOneLinePerCallAndStderrSinkWritesTheSame)
{
    TempDir dir;
    std::string path = dir.File("sink.log");
    WriteFile(path, "existing line\n");
    ScopedEnv sink("QZ_PLATFORM_LOG", path);
    EXPECT_EQ(__dlog_print(LOG_ID_MAIN, DLOG_INFO, "tag", "info %d %s\n", 7, "seven"), 13);
    __dlog_print(LOG_ID_MAIN, DLOG_ERROR, "err", "\e[1m!\e[0;m");  // escape codes kept
    ExpectMatches(ReadFile(path), "existing line\n" + LineOf("I", "tag", "info 7 seven") +
                                      LineOf("E", "err", "\x1b\\[1m!\x1b\\[0;m"));
    ScopedEnv toStderr("QZ_PLATFORM_LOG", std::string("stderr"));
    testing::internal::CaptureStderr();
    __dlog_print(LOG_ID_MAIN, DLOG_INFO, "tag", "visible");
    ExpectMatches(testing::internal::GetCapturedStderr(), LineOf("I", "tag", "visible"));
}

// The sink is remembered between calls, yet every way the variable can change takes effect.
TEST(PlatformLog, SinkFollowsEveryChangeOfTheVariable)
{
    TempDir dir;
    const std::string path = dir.File("sink.log");
    ScopedEnv restore("QZ_PLATFORM_LOG", std::string("none"));
    // The file, "none", the file again, then "none" after removal and a regrown environment.
    const std::pair<const char*, bool> steps[] = {
        {nullptr, false}, {"none", false}, {nullptr, false}, {"none", true}};
    size_t step = 0, lines = 0;
    for (const auto& [value, regrow] : steps) {
        SCOPED_TRACE(++step);
        if (regrow) {
            unsetenv("QZ_PLATFORM_LOG");
            for (int i = 0; i < 64; ++i)
                setenv(("QZ_TEST_FILLER_" + std::to_string(i)).c_str(), "x", 1);
        }
        setenv("QZ_PLATFORM_LOG", value ? value : path.c_str(), 1);
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "tag", "step %zu", step);
        lines += value ? 0 : 1;
        const std::string text = std::filesystem::exists(path) ? ReadFile(path) : "";
        EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), lines);
    }
    for (int i = 0; i < 64; ++i)
        unsetenv(("QZ_TEST_FILLER_" + std::to_string(i)).c_str());
}

// An int is read only from whole decimal text; otherwise *value is kept.
TEST(PlatformKvStore, EachKeyIsOneFileBelowTheRootHoldingTheValuesText)
{
    KvStoreRoot root;
    ASSERT_EQ(vconf_set_str("db/a/b/leaf", "first value"), 0);
    EXPECT_EQ(ReadFile(root.Path() + "/db/a/b/leaf"), "first value");
    EXPECT_EQ(vconf_get_str("db/never/set"), nullptr);
    ASSERT_EQ(vconf_set_int("db/int", -17), 0);
    EXPECT_EQ(ReadFile(root.Path() + "/db/int"), "-17");
    const std::pair<const char*, int> cases[] = {
        {"-17\n", 0}, {"", -1}, {"abc", -1}, {"12abc", -1}, {"99999999999", -1}};
    for (const auto& [text, rc] : cases) {
        WriteFile(root.Path() + "/db/int", text);  // as another process would
        int value = 5;
        EXPECT_EQ(vconf_get_int("db/int", &value), rc) << "'" << text << "'";
        EXPECT_EQ(value, rc == 0 ? -17 : 5) << "'" << text << "'";
    }
}

TEST(PlatformKvStore, KeysLeavingTheRootAreRefused)
{
    TempDir outer;  // the root is one level below, where ".." would land
    ScopedEnv env("QZ_KVSTORE_DIR", outer.File("store"));
    for (const char* key : {"..", "../escaped", "db/../../escaped", "/tmp/absolute", ""}) {
        EXPECT_NE(vconf_set_str(key, "x"), 0) << key;
        EXPECT_EQ(vconf_get_str(key), nullptr) << key;
    }
    EXPECT_FALSE(std::filesystem::exists(outer.File("escaped")));
}

// A link (to a file holding a value), a FIFO (which would block), a folder: no value, at once.
TEST(PlatformKvStore, OnlyRegularFilesWithinTheSizeLimitAreValues)
{
    KvStoreRoot root;
    const std::string db = root.Path() + "/db/";
    ASSERT_EQ(vconf_set_str("db/real", "secret"), 0);
    ASSERT_EQ(symlink((db + "real").c_str(), (db + "link").c_str()), 0);
    ASSERT_EQ(mkfifo((db + "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(db + "folder");
    WriteFile(db + "huge", std::string(QZ_KVSTORE_MAX_VALUE + 1, 'x'));
    WriteFile(db + "largest", std::string(QZ_KVSTORE_MAX_VALUE, 'x'));
    for (const char* key : {"db/link", "db/fifo", "db/folder", "db/huge"})
        EXPECT_EQ(vconf_get_str(key), nullptr) << key;
    g_autofree char* largest = vconf_get_str("db/largest");
    EXPECT_NE(largest, nullptr) << "the limit itself is allowed";
    EXPECT_NE(vconf_set_str("db/huge", std::string(QZ_KVSTORE_MAX_VALUE + 1, 'x').c_str()), 0);
}

// The next write of a key removes the temporary file a crashed writer left, not a live one's.
TEST(PlatformKvStore, WriteRemovesTemporaryFilesACrashLeftBehind)
{
    KvStoreRoot root;
    const std::string db = root.Path() + "/db/";
    ASSERT_EQ(vconf_set_str("db/key", "v1"), 0);
    for (const char* name : {"key.tmp.OLD123", "key.tmp.NEW123", "other.tmp.OLD123"})
        WriteFile(db + name, "left behind");
    const time_t twoMinutesAgo = time(nullptr) - 120;
    const utimbuf old{twoMinutesAgo, twoMinutesAgo};
    for (const char* name : {"key.tmp.OLD123", "other.tmp.OLD123"})
        ASSERT_EQ(utime((db + name).c_str(), &old), 0);
    ASSERT_EQ(vconf_set_str("db/key", "v2"), 0);
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(db))
        left.insert(entry.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"key", "key.tmp.NEW123", "other.tmp.OLD123"}));
    EXPECT_EQ(ReadFile(db + "key"), "v2");
}

// A value being replaced reads as the old or the new text, never a mix.
TEST(PlatformKvStore, ReaderNeverSeesATornValue)
{
    KvStoreRoot root;
    const std::string a(300000, 'A'), b(250000, 'b');
    ASSERT_EQ(vconf_set_str("memory/torn", a.c_str()), 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (bool useA = false; !stop; useA = !useA)
            EXPECT_EQ(vconf_set_str("memory/torn", (useA ? a : b).c_str()), 0);
    });
    std::set<std::string> seen;  // until a second kind of value is read
    for (auto end = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < end && seen.size() < 2;) {
        g_autofree char* raw = vconf_get_str("memory/torn");
        const std::string text = raw ? raw : "<null>";
        seen.insert(text == a || text == b ? text.substr(0, 1) : "torn: " + text.substr(0, 20));
    }
    stop = true;
    writer.join();
    EXPECT_EQ(seen, (std::set<std::string>{"A", "b"}));
}

TEST(PlatformSysInfo, SoftwareVersionComesFromTheEnvironment)
{
    ScopedEnv version("QZ_SW_VERSION", std::string("4.11.2-rc1"));
    g_autofree char* text = nullptr;
    ASSERT_EQ(system_info_get_value_string(SYSTEM_INFO_KEY_SW_VERSION, &text), 0);
    EXPECT_STREQ(text, "4.11.2-rc1");
    char sentinel = 0, *none = &sentinel;
    EXPECT_NE(system_info_get_value_string(SYSTEM_INFO_KEY_SW_VERSION + 1, &none), 0);
    ScopedEnv unset("QZ_SW_VERSION", std::nullopt);
    EXPECT_NE(system_info_get_value_string(SYSTEM_INFO_KEY_SW_VERSION, &none), 0);
    EXPECT_EQ(none, &sentinel);
}

}  // namespace
