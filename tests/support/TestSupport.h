// Shared test fixtures: a private bus, scoped environment, temporary
// folders, the platform log's file sink, a second bus connection and the
// reference daemon as a child process.
#ifndef QZ_TEST_SUPPORT_H
#define QZ_TEST_SUPPORT_H

#include <gio/gio.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "SWUInterfaceData.h"

namespace qztest {

using namespace std::chrono_literals;

// A dbus-daemon of our own, started from tests/data/test-bus.conf or from
// the given configuration file.
class PrivateBus {
public:
    // With a listen address ("unix:path=..."), the bus can be restarted
    // where it was; otherwise it listens wherever the configuration says.
    explicit PrivateBus(const std::string& listenAddress = "",
                        const std::string& configFile = QZ_TEST_BUS_CONFIG);
    ~PrivateBus();
    const std::string& Address() const { return m_address; }
    pid_t Pid() const { return m_pid; }
    void Stop();
    void Kill();   // SIGKILL, as a crash would end it
    void Start();  // again, at the same listen address

private:
    std::string m_listen;
    std::string m_configFile;
    pid_t m_pid = -1;
    std::string m_address;
};

// The bus of this test process (started by the test main), or null when
// the process runs without a bus (QZ_TEST_NO_BUS).
PrivateBus* ProcessBus();

// Sets (or unsets, with nullopt) an environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value);
    ~ScopedEnv();

private:
    std::string m_name;
    std::optional<std::string> m_saved;
};

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Polls pred until it holds or the timeout passes; iterates ctx (the
// thread-default context when null) in between so that bus callbacks run.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms,
               GMainContext* ctx = nullptr);

// One record of the platform log's file sink.
struct LogRecord {
    char priority;  // 'I' (4) or 'E' (6), ...
    std::string tag;
    std::string message;  // everything after "tag(pid): "
};

// Routes the platform log to a fresh file for the scope and reads it back.
class LogCapture {
public:
    LogCapture();
    std::vector<LogRecord> Records() const;
    std::string Text() const;
    // Records whose message is "<file>: <function>(<line>) > <body>".
    std::vector<LogRecord> Find(const std::string& function, const std::string& body) const;
    bool Has(char priority, const std::string& function, const std::string& body) const;
    // Number of records whose body (after the prefix) contains the text.
    size_t Count(const std::string& bodyPart) const;
    void Clear() const;
    const std::string& Path() const { return m_path; }

private:
    TempDir m_dir;
    std::string m_path;
    ScopedEnv m_env;
};

// A fresh, empty key-value store root for the scope.
class KvStoreRoot {
public:
    KvStoreRoot();
    const std::string& Path() const { return m_dir.Path(); }

private:
    TempDir m_dir;
    ScopedEnv m_env;
};

// A second connection to the process bus, independent of the library's
// shared connection, to play the other side of a call.
class PeerConnection {
public:
    PeerConnection();
    ~PeerConnection();
    GDBusConnection* Get() const { return m_conn; }

    // Synchronous call; returns the reply (owned) or null with *error set.
    GVariant* Call(const std::string& dest, const std::string& method, GVariant* params,
                   GError** error, int timeoutMs = 5000,
                   const std::string& path = "/com/kestova/orvel/corvaneplatform",
                   const std::string& iface = "interface.corvanemessage");

    // As Call, for a destination served in this very thread: the call runs
    // on a helper thread while this thread iterates its main context.
    GVariant* CallIterating(const std::string& dest, const std::string& method, GVariant* params,
                            GError** error, int timeoutMs = 5000,
                            const std::string& path = "/com/kestova/orvel/corvaneplatform",
                            const std::string& iface = "interface.corvanemessage");

    std::string NameOwner(const std::string& name);
    std::string UniqueName() const;

private:
    GDBusConnection* m_conn = nullptr;
};

// Values of the daemon's scripting options, by the contract's command
// constants: ForCommand(kCmdQueryState, "InitStatus") is "16393=InitStatus"
// (--reply, --delay), ForCommand(kCmdQueryState) is "16393" (--wrong-type).
inline std::string ForCommand(int command, const std::string& value)
{
    return std::to_string(command) + "=" + value;
}
inline std::string ForCommand(int command) { return std::to_string(command); }

// The reference upgrade daemon as a child process on the process bus.
class DaemonProcess {
public:
    // Extra arguments are passed as they are; a journal is always kept, by
    // default with a line for every OTA frame.
    explicit DaemonProcess(const std::vector<std::string>& args = {}, bool waitForName = true,
                           bool journalFrames = true);
    ~DaemonProcess();
    void Stop();  // SIGTERM and reap
    void Kill();  // SIGKILL and reap
    bool Running();
    // Waits for the daemon to end by itself: its exit status, or nullopt
    // when it still runs after the timeout (or died from a signal).
    std::optional<int> ExitStatus(std::chrono::milliseconds timeout);
    pid_t Pid() const { return m_pid; }
    const std::string& JournalPath() const { return m_journal; }
    const std::string& LogPath() const { return m_log; }
    std::vector<nlohmann::json> Journal() const;
    // Journal entries with "event" equal to the given kind.
    std::vector<nlohmann::json> Events(const std::string& kind) const;
    static std::string BinaryPath();

private:
    TempDir m_dir;
    std::string m_journal;
    std::string m_log;
    pid_t m_pid = -1;
};

// Runs body in a child process under another user (uid and gid; the
// supplementary groups are dropped); returns the child's pid. The child
// ends by SIGKILL after body: it reports through pipes or sockets.
pid_t ForkAsUser(uid_t uid, gid_t gid, const std::function<void()>& body);
// Reaps a child; one that does not end in time is killed first.
void WaitForChild(pid_t pid, std::chrono::milliseconds timeout = 10000ms);
// The unprivileged "nobody" account.
uid_t NobodyUid();
gid_t NobodyGid();

// Listens on the OTA stream socket's abstract name in place of the daemon,
// with the full padded address as the daemon binds it, to see the raw bytes
// a client writes. Throws when the name is taken.
class OtaListener {
public:
    explicit OtaListener(int backlog = 16);
    ~OtaListener();
    // Connects to itself until its queue of unaccepted connections is full,
    // so that the next connect has to wait.
    void FillQueue();
    // Accepts the next connection; false when none came within the time-out.
    bool Accept(std::chrono::milliseconds timeout);
    // Exactly count bytes of the accepted connection, or fewer on end or time-out.
    std::vector<unsigned char> Read(size_t count, std::chrono::milliseconds timeout = 5000ms);
    // Reads the accepted connection until it closes or the time-out ends;
    // returns how many bytes came.
    size_t Drain(std::chrono::milliseconds timeout = 5000ms);

private:
    int m_listener = -1;
    int m_connection = -1;
    std::vector<int> m_queued;  // FillQueue's connections
};

std::string Hex(const void* data, size_t len);
std::vector<unsigned char> Unhex(const std::string& hex);

// A library log body as highlighted lines carry it (bold yellow).
std::string Hl(const std::string& body);

// The request record packed into a journaled payload (hex).
SWUDataContainer RecordFromHex(const std::string& hex);

// Store values for a scope's test: a text (null removes the key) and a number.
void StoreText(const char* key, const char* text);
void StoreInt(const char* key, int value);

extern const char* const kDaemonBusName;
extern const char* const kLibraryBusName;
extern const char* const kObjectPath;
extern const char* const kInterfaceName;

}  // namespace qztest

#endif  // QZ_TEST_SUPPORT_H
