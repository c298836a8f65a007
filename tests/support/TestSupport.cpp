#include "TestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <vconf.h>

namespace qztest {

const char* const kDaemonBusName = "com.kestova.orvel.qz.swu.daemon";
const char* const kLibraryBusName = "com.kestova.orvel.qz.swu.interface";
const char* const kObjectPath = "/com/kestova/orvel/corvaneplatform";
const char* const kInterfaceName = "interface.corvanemessage";

namespace {

void ReapWithin(pid_t pid, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || r < 0)
            return;
        std::this_thread::sleep_for(5ms);
    }
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
}

gchar** ChildEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides)
{
    gchar** env = g_get_environ();
    for (const auto& [name, value] : overrides)
        env = g_environ_setenv(env, name.c_str(), value.c_str(), TRUE);
    return env;
}

}  // namespace

// ---------------------------------------------------------------- PrivateBus

PrivateBus::PrivateBus(const std::string& listenAddress, const std::string& configFile)
    : m_listen(listenAddress),
      m_configFile(configFile)
{
    Start();
}

void PrivateBus::Kill()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        ReapWithin(m_pid, 3000ms);
        m_pid = -1;
    }
}

void PrivateBus::Start()
{
    const std::string listen = "--address=" + m_listen;
    const std::string configOption = "--config-file=" + m_configFile;
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        // A test process that crashes must not leave its bus behind: the
        // orphan would keep CTest's output pipe open until the time-out.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(pipefd[1], STDOUT_FILENO);
        execlp("dbus-daemon", "dbus-daemon", configOption.c_str(), "--nofork", "--nopidfile",
               "--print-address=1", m_listen.empty() ? static_cast<char*>(nullptr) : listen.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipefd[1]);
    if (pid < 0) {
        close(pipefd[0]);
        throw std::runtime_error("fork failed");
    }
    m_pid = pid;
    std::string line;
    char c;
    while (read(pipefd[0], &c, 1) == 1 && c != '\n')
        line.push_back(c);
    close(pipefd[0]);
    if (line.empty()) {
        Stop();
        throw std::runtime_error("dbus-daemon did not print its address");
    }
    m_address = line;
}

PrivateBus::~PrivateBus() { Stop(); }

void PrivateBus::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        ReapWithin(m_pid, 3000ms);
        m_pid = -1;
    }
}

// ----------------------------------------------------------------- ScopedEnv

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name)
{
    if (const char* old = getenv(name))
        m_saved = old;
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (m_saved)
        setenv(m_name.c_str(), m_saved->c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

// ------------------------------------------------------------------- TempDir

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qztest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               GMainContext* ctx)
{
    if (ctx == nullptr)
        ctx = g_main_context_get_thread_default();
    if (ctx == nullptr)
        ctx = g_main_context_default();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (g_main_context_iteration(ctx, FALSE)) {
        }
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
}

// ---------------------------------------------------------------- LogCapture

LogCapture::LogCapture() : m_path(m_dir.File("platform.log")), m_env("QZ_PLATFORM_LOG", m_path) {}

std::string LogCapture::Text() const { return ReadFile(m_path); }

void LogCapture::Clear() const { WriteFile(m_path, ""); }

std::vector<LogRecord> LogCapture::Records() const
{
    // A record starts with "YYYY-MM-DD HH:MM:SS.mmm P/tag(pid): "; a message
    // with an embedded newline continues on the following line(s).
    static const std::regex header(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.)/([^(]*)\((\d+)\): )");
    std::vector<LogRecord> records;
    std::istringstream in(Text());
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, header)) {
            records.push_back({m[1].str()[0], m[2].str(), m.suffix().str()});
        } else if (!records.empty()) {
            records.back().message += "\n" + line;
        }
    }
    return records;
}

std::vector<LogRecord> LogCapture::Find(const std::string& function, const std::string& body) const
{
    std::vector<LogRecord> found;
    for (const auto& r : Records()) {
        // "<file>: <function>(<line>) > <body>"
        auto colon = r.message.find(": ");
        if (colon == std::string::npos)
            continue;
        auto rest = r.message.substr(colon + 2);
        if (rest.compare(0, function.size() + 1, function + "(") != 0)
            continue;
        auto marker = rest.find(") > ");
        if (marker == std::string::npos)
            continue;
        if (rest.substr(marker + 4) == body)
            found.push_back(r);
    }
    return found;
}

bool LogCapture::Has(char priority, const std::string& function, const std::string& body) const
{
    for (const auto& r : Find(function, body))
        if (r.priority == priority)
            return true;
    return false;
}

size_t LogCapture::Count(const std::string& bodyPart) const
{
    size_t n = 0;
    for (const auto& r : Records())
        if (r.message.find(bodyPart) != std::string::npos)
            ++n;
    return n;
}

KvStoreRoot::KvStoreRoot() : m_env("QZ_KVSTORE_DIR", m_dir.Path()) {}

// ------------------------------------------------------------ PeerConnection

PeerConnection::PeerConnection()
{
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address == nullptr)
        throw std::runtime_error("no DBUS_SYSTEM_BUS_ADDRESS");
    GError* error = nullptr;
    m_conn = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (m_conn == nullptr) {
        std::string msg = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("peer connection failed: " + msg);
    }
    g_dbus_connection_set_exit_on_close(m_conn, FALSE);
}

PeerConnection::~PeerConnection()
{
    if (m_conn)
        g_dbus_connection_close_sync(m_conn, nullptr, nullptr);
    g_clear_object(&m_conn);
}

GVariant* PeerConnection::Call(const std::string& dest, const std::string& method, GVariant* params,
                               GError** error, int timeoutMs, const std::string& path,
                               const std::string& iface)
{
    return g_dbus_connection_call_sync(m_conn, dest.c_str(), path.c_str(), iface.c_str(),
                                       method.c_str(), params, nullptr,
                                       G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, error);
}

GVariant* PeerConnection::CallIterating(const std::string& dest, const std::string& method,
                                        GVariant* params, GError** error, int timeoutMs,
                                        const std::string& path, const std::string& iface)
{
    g_autoptr(GVariant) sunk = params ? g_variant_ref_sink(params) : nullptr;
    std::atomic<bool> done{false};
    GVariant* reply = nullptr;
    GError* callError = nullptr;
    std::thread caller([&] {
        reply = Call(dest, method, params, &callError, timeoutMs, path, iface);
        done = true;
    });
    WaitUntil([&] { return done.load(); }, std::chrono::milliseconds(timeoutMs + 2000));
    caller.join();
    if (callError)
        g_propagate_error(error, callError);
    return reply;
}

std::string PeerConnection::NameOwner(const std::string& name)
{
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        m_conn, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetNameOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(s)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply == nullptr)
        return "";
    const char* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    return owner;
}

std::string PeerConnection::UniqueName() const { return g_dbus_connection_get_unique_name(m_conn); }

// ------------------------------------------------------------- DaemonProcess

std::string DaemonProcess::BinaryPath() { return QZ_SWU_DAEMON_PATH; }

DaemonProcess::DaemonProcess(const std::vector<std::string>& args, bool waitForName,
                             bool journalFrames)
    : m_journal(m_dir.File("journal.jsonl")),
      m_log(m_dir.File("daemon.log"))
{
    std::vector<std::string> argv{BinaryPath(), "--journal", m_journal};
    if (journalFrames)
        argv.push_back("--journal-frames");
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    g_auto(GStrv) env = ChildEnvironment({{"QZ_PLATFORM_LOG", m_log}});
    g_autoptr(GError) error = nullptr;
    GPid pid = 0;
    // The daemon must not outlive a test process that dies: it would keep
    // the machine-wide OTA socket name.
    auto dieWithParent = [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGTERM); };
    gboolean ok = g_spawn_async(nullptr, cargv.data(), env, G_SPAWN_DO_NOT_REAP_CHILD,
                                dieWithParent, nullptr, &pid, &error);
    if (!ok)
        throw std::runtime_error(std::string("cannot start daemon: ") + error->message);
    m_pid = pid;
    if (waitForName) {
        PeerConnection peer;
        if (!WaitUntil([&] { return !peer.NameOwner(kDaemonBusName).empty(); }, 10000ms)) {
            Kill();
            throw std::runtime_error("daemon did not take its bus name");
        }
    }
}

DaemonProcess::~DaemonProcess() { Stop(); }

namespace {

// The process behind a bus name's owner, or -1 when it has none.
pid_t OwnerPid(PeerConnection& peer, const char* name)
{
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        peer.Get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply == nullptr)
        return -1;
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    return static_cast<pid_t>(pid);
}

// The bus drops a dead daemon's name only once it has noticed the closed
// connection; a daemon started before that finds the name taken and, as it
// does not queue for it, leaves at once.
void WaitForNameRelease(pid_t daemon)
{
    try {
        PeerConnection peer;
        WaitUntil([&] { return OwnerPid(peer, kDaemonBusName) != daemon; }, 2000ms);
    } catch (const std::exception&) {
        // no bus: nothing holds the name
    }
}

}  // namespace

void DaemonProcess::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        ReapWithin(m_pid, 5000ms);
        WaitForNameRelease(m_pid);
        m_pid = -1;
    }
}

void DaemonProcess::Kill()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        ReapWithin(m_pid, 5000ms);
        WaitForNameRelease(m_pid);
        m_pid = -1;
    }
}

bool DaemonProcess::Running()
{
    if (m_pid <= 0)
        return false;
    int status;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

std::optional<int> DaemonProcess::ExitStatus(std::chrono::milliseconds timeout)
{
    int status = 0;
    bool ended =
        WaitUntil([&] { return m_pid > 0 && waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout);
    if (!ended)
        return std::nullopt;
    m_pid = -1;
    return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

std::vector<nlohmann::json> DaemonProcess::Journal() const
{
    std::vector<nlohmann::json> entries;
    std::istringstream in(ReadFile(m_journal));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        auto parsed = nlohmann::json::parse(line, nullptr, false);
        if (!parsed.is_discarded())
            entries.push_back(std::move(parsed));
    }
    return entries;
}

std::vector<nlohmann::json> DaemonProcess::Events(const std::string& kind) const
{
    std::vector<nlohmann::json> found;
    for (auto& e : Journal())
        if (e.value("event", "") == kind)
            found.push_back(e);
    return found;
}

pid_t ForkAsUser(uid_t uid, gid_t gid, const std::function<void()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            kill(getpid(), SIGKILL);
        body();
        // No exit handlers and no leak report of a checker: the state the
        // child copied from the parent is not its to clean up.
        kill(getpid(), SIGKILL);
    }
    return pid;
}

void WaitForChild(pid_t pid, std::chrono::milliseconds timeout)
{
    int status = 0;
    if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

uid_t NobodyUid()
{
    const passwd* entry = getpwnam("nobody");
    return entry ? entry->pw_uid : 65534;
}

gid_t NobodyGid()
{
    const passwd* entry = getpwnam("nobody");
    return entry ? entry->pw_gid : 65534;
}

// --------------------------------------------------------------- OtaListener

namespace {

sockaddr_un OtaStreamAddress()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, "otaStream", strlen("otaStream"));
    return address;
}

int ListenOnOtaSocket(int backlog)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = OtaStreamAddress();
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

size_t DrainConnection(int fd, std::chrono::milliseconds timeout)
{
    timeval wait{static_cast<time_t>(timeout.count() / 1000),
                 static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    size_t total = 0;
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        total += static_cast<size_t>(n);
    return total;
}

}  // namespace

OtaListener::OtaListener(int backlog)
{
    m_listener = ListenOnOtaSocket(backlog);
    if (m_listener < 0)
        throw std::runtime_error("cannot listen on the OTA socket name");
}

OtaListener::~OtaListener()
{
    for (int fd : m_queued)
        close(fd);
    if (m_connection >= 0)
        close(m_connection);
    close(m_listener);
}

void OtaListener::FillQueue()
{
    const sockaddr_un address = OtaStreamAddress();
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return;
        }
        m_queued.push_back(fd);
    }
}

bool OtaListener::Accept(std::chrono::milliseconds timeout)
{
    pollfd waiting{m_listener, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    if (m_connection >= 0)
        close(m_connection);
    m_connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    return m_connection >= 0;
}

std::vector<unsigned char> OtaListener::Read(size_t count, std::chrono::milliseconds timeout)
{
    std::vector<unsigned char> bytes(count);
    size_t done = 0;
    pollfd waiting{m_connection, POLLIN, 0};
    while (done < count && poll(&waiting, 1, static_cast<int>(timeout.count())) == 1) {
        const ssize_t n = read(m_connection, bytes.data() + done, count - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

size_t OtaListener::Drain(std::chrono::milliseconds timeout)
{
    return DrainConnection(m_connection, timeout);
}

std::string Hex(const void* data, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    auto bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < len; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::vector<unsigned char> Unhex(const std::string& hex)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string Hl(const std::string& body) { return "\x1b[1m\x1b[33m" + body + "\x1b[0;m"; }

SWUDataContainer RecordFromHex(const std::string& hex)
{
    const auto bytes = Unhex(hex);
    QzPack pack;
    pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    SWUDataContainer record;
    record.Unserialize(pack);
    return record;
}

void StoreText(const char* key, const char* text)
{
    if (text == nullptr)
        vconf_unset(key);
    else if (vconf_set_str(key, text) != 0)
        throw std::runtime_error(std::string("cannot store ") + key);
}

void StoreInt(const char* key, int value)
{
    if (vconf_set_int(key, value) != 0)
        throw std::runtime_error(std::string("cannot store ") + key);
}

}  // namespace qztest
