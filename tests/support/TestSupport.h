// Shared test fixtures: a private bus, scoped environment, temporary folders, the platform
// log's file sink, a second bus connection and the reference daemon as a child process.
#ifndef QZ_TEST_SUPPORT_H
#define QZ_TEST_SUPPORT_H

#include <gio/gio.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "SWUInterfaceData.h"

namespace qztest {

using namespace std::chrono_literals;

inline constexpr const char* kDaemonBusName = "com.kestova.orvel.qz.swu.daemon";
inline constexpr const char* kLibraryBusName = "com.kestova.orvel.qz.swu.interface";
inline constexpr const char* kObjectPath = "/com/kestova/orvel/corvaneplatform";
inline constexpr const char* kInterfaceName = "interface.corvanemessage";

// A dbus-daemon of our own, from tests/data/test-bus.conf or the given file.
class PrivateBus {
public:
    // With a listen address ("unix:path=..."), Start restarts the bus where it was.
    explicit PrivateBus(const std::string& listenAddress = "",
                        const std::string& configFile = QZ_TEST_BUS_CONFIG)
        : m_listen(listenAddress),
          m_configFile(configFile)
    {
        Start();
    }
    ~PrivateBus();
    const std::string& Address() const { return m_address; }
    void Stop();
    void Kill();  // SIGKILL, as a crash would end it
    void Start();

private:
    std::string m_listen;
    std::string m_configFile;
    pid_t m_pid = -1;
    std::string m_address;
};

// The bus the test main started, or null under QZ_TEST_NO_BUS.
PrivateBus* ProcessBus();

// Sets (or, with nullopt, unsets) an environment variable for a scope.
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

// The command that runs one of the project's own programs: the program itself, or in a
// cross build the emulator followed by the program.
std::vector<std::string> TargetCommand(const std::string& program);

// The open test bus with the shipped policy files read after its own rules: root and the
// group qz-swu may own the upgrade names and call the daemon, everybody else is refused. It
// stands in for the system bus (DBUS_SYSTEM_BUS_ADDRESS) for the scope.
class ShippedPolicyBus {
public:
    ShippedPolicyBus();
    const std::string& Address() const { return m_bus->Address(); }

private:
    TempDir m_dir;
    std::unique_ptr<PrivateBus> m_bus;
    std::optional<ScopedEnv> m_env;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Polls pred until it holds or the timeout passes, iterating ctx (the thread-default
// context when null) in between so that bus callbacks run.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms,
               GMainContext* ctx = nullptr);

// Waits until the object of a weak reference has ended, clears the reference,
// and says whether it ended: nothing else may be left holding it.
bool EndsWithoutOtherHolders(GWeakRef& ref, GMainContext* context = nullptr);

// One record of the platform log's file sink.
struct LogRecord {
    char priority;        // 'I', 'E', ...
    std::string message;  // everything after "tag(pid): "
};

// Routes the platform log to a fresh file for the scope and reads it back.
class LogCapture {
public:
    LogCapture() : m_path(m_dir.File("platform.log")), m_env("QZ_PLATFORM_LOG", m_path) {}
    std::vector<LogRecord> Records() const;
    std::string Text() const { return ReadFile(m_path); }
    // Records whose message is "<file>: <function>(<line>) > <body>".
    std::vector<LogRecord> Find(const std::string& function, const std::string& body) const;
    bool Has(char priority, const std::string& function, const std::string& body) const;
    // Records whose message contains the text.
    size_t Count(const std::string& bodyPart) const;
    void Clear() const { WriteFile(m_path, ""); }

private:
    TempDir m_dir;
    std::string m_path;
    ScopedEnv m_env;
};

// A fresh, empty key-value store root for the scope.
class KvStoreRoot {
public:
    KvStoreRoot() : m_env("QZ_KVSTORE_DIR", m_dir.Path()) {}
    const std::string& Path() const { return m_dir.Path(); }

private:
    TempDir m_dir;
    ScopedEnv m_env;
};

// A second connection to the process bus, apart from the library's, for the other side.
class PeerConnection {
public:
    PeerConnection();
    ~PeerConnection()
    {
        g_dbus_connection_close_sync(m_conn, nullptr, nullptr);
        g_object_unref(m_conn);
    }
    GDBusConnection* Get() const { return m_conn; }

    // Synchronous call: the reply (owned), or null with *error set.
    GVariant* Call(const std::string& dest, const std::string& method, GVariant* params,
                   GError** error, int timeoutMs = 5000, const std::string& path = kObjectPath,
                   const std::string& iface = kInterfaceName)
    {
        return g_dbus_connection_call_sync(
            m_conn, dest.c_str(), path.c_str(), iface.c_str(), method.c_str(), params, nullptr,
            G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, error);
    }
    // As Call, for a name served in this very thread: the call runs on a helper thread
    // while this one iterates its main context.
    GVariant* CallIterating(const std::string& dest, const std::string& method, GVariant* params,
                            GError** error, int timeoutMs = 5000,
                            const std::string& path = kObjectPath,
                            const std::string& iface = kInterfaceName);
    // Sends a call that expects no reply; false when it could not be sent.
    bool Post(const std::string& dest, const std::string& method, GVariant* params,
              const std::string& iface = kInterfaceName);
    std::string NameOwner(const std::string& name);
    std::string UniqueName() const { return g_dbus_connection_get_unique_name(m_conn); }

private:
    GDBusConnection* m_conn = nullptr;
};

// Values of the daemon's scripting options: ForCommand(kCmdQueryState, "InitStatus") is
// "16393=InitStatus" (--reply, --delay), ForCommand(kCmdQueryState) is "16393" (--wrong-type).
inline std::string ForCommand(int command, const std::string& value)
{
    return std::to_string(command) + "=" + value;
}
inline std::string ForCommand(int command) { return std::to_string(command); }

// The reference upgrade daemon as a child process on the process bus. Its state folder is
// one of its own (as systemd would hand it over), never the machine's.
class DaemonProcess {
public:
    // Extra arguments pass as they are; the journal has a line per OTA frame by default.
    explicit DaemonProcess(const std::vector<std::string>& args = {}, bool waitForName = true,
                           bool journalFrames = true);
    ~DaemonProcess() { Stop(); }
    void Stop();  // SIGTERM and reap
    void Kill();  // SIGKILL and reap
    // Its exit status once it ends by itself; nullopt if it still runs or died from a signal.
    std::optional<int> ExitStatus(std::chrono::milliseconds timeout);
    pid_t Pid() const { return m_pid; }
    // Where the image goes unless --ota-output or --state-dir says otherwise.
    std::string StateDir() const { return m_dir.File("state"); }
    // Journal entries whose "event" is kind.
    std::vector<nlohmann::json> Events(const std::string& kind) const;
    // The payloads (hex) of the journaled calls of a command, in order.
    std::vector<std::string> Payloads(int command) const;
    static std::string BinaryPath() { return QZ_SWU_DAEMON_PATH; }

private:
    TempDir m_dir;
    std::string m_journal;
    pid_t m_pid = -1;
};

// Runs body in a child process of the same user; returns its pid. The child ends by SIGKILL
// after body (or with the parent), so it reports through pipes or sockets.
pid_t ForkChild(const std::function<void()>& body);
// Runs body in a child under another uid and gid (no supplementary groups); returns its
// pid. The child ends by SIGKILL after body, so it reports through pipes or sockets.
pid_t ForkAsUser(uid_t uid, gid_t gid, const std::function<void()>& body);
// Reaps a child; one that does not end in time is killed first.
void WaitForChild(pid_t pid, std::chrono::milliseconds timeout = 10000ms);
// The unprivileged "nobody" account.
uid_t NobodyUid();
gid_t NobodyGid();

// A program's exit code (128 + signal when killed), stdout and stderr.
struct ProgramRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    nlohmann::json Json() const { return nlohmann::json::parse(out, nullptr, false); }
    long ErrLines() const;
};
std::ostream& operator<<(std::ostream& os, const ProgramRun& run);
// Runs argv[0] (searched in PATH) with this process's environment, to its end.
ProgramRun RunProgram(std::vector<std::string> argv);

// Connects to the OTA stream socket's abstract name (zero fill included, as the client
// library does); -1 when nobody listens (or, non-blocking, when the backlog is full).
int ConnectOta(int flags = 0);
// One 4096-byte OTA frame: big-endian size, arg4, arg5, arg1, the payload, zero fill.
std::vector<unsigned char> OtaFrame(int32_t size, int32_t arg4, int32_t arg5, int32_t arg1,
                                    std::vector<unsigned char> payload);

// Listens on the OTA stream socket's abstract name (the full padded address, as the daemon
// binds it) in place of the daemon, to see the raw bytes a client writes. Throws when taken.
class OtaListener {
public:
    explicit OtaListener(int backlog = 16);
    ~OtaListener();
    // Connects to itself until the backlog is full: the next connect waits.
    void FillQueue();
    // Accepts the next connection; false when none came in time.
    bool Accept(std::chrono::milliseconds timeout);
    // count bytes of the accepted connection, or fewer on its end or time-out.
    std::vector<unsigned char> Read(size_t count, std::chrono::milliseconds timeout = 5000ms);
    // Reads the connection until it closes or the time-out; the byte count.
    size_t Drain(std::chrono::milliseconds timeout = 5000ms);

private:
    int m_listener = -1;
    int m_connection = -1;
    std::vector<int> m_queued;  // FillQueue's connections
};

std::string Hex(const void* data, size_t len);
std::vector<unsigned char> Unhex(const std::string& hex);

// A library log body as highlighted lines carry it (bold yellow).
inline std::string Hl(const std::string& body) { return "\x1b[1m\x1b[33m" + body + "\x1b[0;m"; }

// The request record packed into a journaled payload (hex).
SWUDataContainer RecordFromHex(const std::string& hex);

// Store values for a test: a text (null removes the key) and a number.
void StoreText(const char* key, const char* text);
void StoreInt(const char* key, int value);

}  // namespace qztest

#endif  // QZ_TEST_SUPPORT_H
