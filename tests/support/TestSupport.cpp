#include "TestSupport.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vconf.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace qztest {
namespace {

// Polls pred until it holds or the timeout passes; iterates ctx, if any.
bool Poll(const std::function<bool()>& pred, std::chrono::milliseconds timeout, GMainContext* ctx)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (ctx != nullptr && g_main_context_iteration(ctx, FALSE)) {
        }
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
}

// Reaps a child (or finds it gone), killing it first when it outlives the timeout.
void Reap(pid_t pid, std::chrono::milliseconds timeout, GMainContext* ctx = nullptr)
{
    int status;
    if (!Poll([&] { return waitpid(pid, &status, WNOHANG) != 0; }, timeout, ctx)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

// Signals and reaps the child in pid, if any, and clears pid; returns the old value.
pid_t EndChild(pid_t& pid, int signal, std::chrono::milliseconds timeout)
{
    const pid_t ended = std::exchange(pid, -1);
    if (ended > 0) {
        kill(ended, signal);
        Reap(ended, timeout);
    }
    return ended;
}

std::vector<char*> CArgv(std::vector<std::string>& argv)
{
    std::vector<char*> cargv;
    for (auto& arg : argv)
        cargv.push_back(arg.data());
    cargv.push_back(nullptr);
    return cargv;
}

// Starts argv[0] (searched in PATH). The child ends with this process: an orphaned
// bus would hold CTest's output pipe open, an orphaned daemon the OTA socket name.
pid_t Spawn(std::vector<std::string> argv, gchar** env = nullptr, int* out = nullptr)
{
    std::vector<char*> cargv = CArgv(argv);
    g_autoptr(GError) error = nullptr;
    GPid pid = 0;
    const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD);
    if (!g_spawn_async_with_pipes(
            nullptr, cargv.data(), env, flags, [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGTERM); },
            nullptr, &pid, nullptr, out, nullptr, &error))
        throw std::runtime_error("cannot start " + argv[0] + ": " + error->message);
    return pid;
}

void SetOrUnset(const char* name, const std::optional<std::string>& value)
{
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

// The bus drops a dead daemon's name only once it has noticed the closed
// connection; a daemon started before then finds the name taken and, as it
// does not queue for it, leaves at once.
void WaitForNameRelease(pid_t daemon)
{
    if (daemon <= 0)
        return;
    try {
        PeerConnection peer;
        WaitUntil([&] { return peer.NameOwner(kDaemonBusName).empty(); }, 2000ms);
    } catch (const std::exception&) {
        // no bus: nothing holds the name
    }
}

const sockaddr_un kOtaStreamAddress{AF_UNIX, "\0otaStream"};

// A stream socket on the OTA name, bound and listening or else connected; -1 on failure.
int OtaSocket(bool listening, int backlog, int flags = 0)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    const auto address = reinterpret_cast<const sockaddr*>(&kOtaStreamAddress);
    const bool ok =
        listening ? bind(fd, address, sizeof kOtaStreamAddress) == 0 && listen(fd, backlog) == 0
                  : connect(fd, address, sizeof kOtaStreamAddress) == 0;
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

PrivateBus::~PrivateBus() { Stop(); }
void PrivateBus::Stop() { EndChild(m_pid, SIGTERM, 3000ms); }
void PrivateBus::Kill() { EndChild(m_pid, SIGKILL, 3000ms); }

void PrivateBus::Start()
{
    std::vector<std::string> argv{"dbus-daemon", "--config-file=" + m_configFile, "--nofork",
                                  "--nopidfile", "--print-address=1"};
    if (!m_listen.empty())
        argv.push_back("--address=" + m_listen);
    int out = -1;
    m_pid = Spawn(argv, nullptr, &out);
    std::string line;
    for (char c; read(out, &c, 1) == 1 && c != '\n';)
        line.push_back(c);
    close(out);
    if (line.empty()) {
        Stop();
        throw std::runtime_error("dbus-daemon did not print its address");
    }
    m_address = line;
}

ShippedPolicyBus::ShippedPolicyBus()
{
    std::string config = ReadFile(QZ_TEST_BUS_CONFIG);
    for (std::string name : {"daemon", "interface"}) {
        std::string in = std::string(QZ_SOURCE_DIR) + "/data/com.kestova.orvel.qz.swu." + name;
        std::string policy =
            std::regex_replace(ReadFile(in + ".conf.in"), std::regex("@QZ_SWU_GROUP@"), "qz-swu");
        WriteFile(m_dir.File(name + ".conf"), policy);
        config.insert(config.rfind("</busconfig>"),
                      "<include>" + m_dir.File(name + ".conf") + "</include>\n");
    }
    WriteFile(m_dir.File("bus.conf"), config);
    m_bus = std::make_unique<PrivateBus>("", m_dir.File("bus.conf"));
    m_env.emplace("DBUS_SYSTEM_BUS_ADDRESS", m_bus->Address());
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name)
{
    if (const char* old = getenv(name))
        m_saved = old;
    SetOrUnset(name, value);
}

ScopedEnv::~ScopedEnv() { SetOrUnset(m_name.c_str(), m_saved); }

TempDir::TempDir() : m_path((std::filesystem::temp_directory_path() / "qztest-XXXXXX").string())
{
    if (mkdtemp(m_path.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir()
{
    // A test may have taken the owner's rights away.
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

std::vector<std::string> TargetCommand(const std::string& program)
{
    std::istringstream emulator(QZ_TARGET_EMULATOR);
    std::vector<std::string> command(std::istream_iterator<std::string>(emulator), {});
    command.push_back(program);
    return command;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               GMainContext* ctx)
{
    if (ctx == nullptr)
        ctx = g_main_context_get_thread_default();
    return Poll(pred, timeout, ctx != nullptr ? ctx : g_main_context_default());
}

bool EndsWithoutOtherHolders(GWeakRef& ref, GMainContext* context)
{
    const bool ended = WaitUntil(
        [&] {
            g_autoptr(GObject) held = static_cast<GObject*>(g_weak_ref_get(&ref));
            return held == nullptr;
        },
        5000ms, context);
    g_weak_ref_clear(&ref);
    return ended;
}

std::vector<LogRecord> LogCapture::Records() const
{
    // A record starts with "YYYY-MM-DD HH:MM:SS.mmm P/tag(pid): "; a message
    // with an embedded newline goes on over the following lines.
    static const std::regex header(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.)/[^(]*\(\d+\): )");
    std::vector<LogRecord> records;
    std::istringstream in(Text());
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, header))
            records.push_back({m[1].str()[0], m.suffix().str()});
        else if (!records.empty())
            records.back().message += "\n" + line;
    }
    return records;
}

std::vector<LogRecord> LogCapture::Find(const std::string& function, const std::string& body) const
{
    std::vector<LogRecord> found;
    for (const auto& r : Records()) {
        // "<file>: <function>(<line>) > <body>"
        const auto colon = r.message.find(": ");
        const auto rest = colon == std::string::npos ? "" : r.message.substr(colon + 2);
        const auto marker = rest.find(") > ");
        if (rest.rfind(function + "(", 0) == 0 && marker != std::string::npos &&
            rest.compare(marker + 4, std::string::npos, body) == 0)
            found.push_back(r);
    }
    return found;
}

bool LogCapture::Has(char priority, const std::string& function, const std::string& body) const
{
    const auto found = Find(function, body);
    return std::any_of(found.begin(), found.end(),
                       [&](const LogRecord& r) { return r.priority == priority; });
}

size_t LogCapture::Count(const std::string& bodyPart) const
{
    const auto records = Records();
    return std::count_if(records.begin(), records.end(), [&](const LogRecord& r) {
        return r.message.find(bodyPart) != std::string::npos;
    });
}

PeerConnection::PeerConnection()
{
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address == nullptr)
        throw std::runtime_error("no DBUS_SYSTEM_BUS_ADDRESS");
    g_autoptr(GError) error = nullptr;
    m_conn = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (m_conn == nullptr)
        throw std::runtime_error(std::string("peer connection failed: ") + error->message);
    g_dbus_connection_set_exit_on_close(m_conn, FALSE);
}

GVariant* PeerConnection::CallIterating(const std::string& dest, const std::string& method,
                                        GVariant* params, GError** error, int timeoutMs,
                                        const std::string& path, const std::string& iface)
{
    g_autoptr(GVariant) sunk = params ? g_variant_ref_sink(params) : nullptr;
    std::atomic<bool> done{false};
    GVariant* reply = nullptr;
    std::thread caller([&] {
        reply = Call(dest, method, params, error, timeoutMs, path, iface);
        done = true;
    });
    WaitUntil([&] { return done.load(); }, std::chrono::milliseconds(timeoutMs + 2000));
    caller.join();
    return reply;
}

bool PeerConnection::Post(const std::string& dest, const std::string& method, GVariant* params,
                          const std::string& iface)
{
    g_autoptr(GDBusMessage) call =
        g_dbus_message_new_method_call(dest.c_str(), kObjectPath, iface.c_str(), method.c_str());
    g_dbus_message_set_body(call, params);
    g_dbus_message_set_flags(call, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    return g_dbus_connection_send_message(m_conn, call, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                          nullptr);
}

std::string PeerConnection::NameOwner(const std::string& name)
{
    g_autoptr(GVariant) reply =
        Call("org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", name.c_str()), nullptr,
             5000, "/org/freedesktop/DBus", "org.freedesktop.DBus");
    const char* owner = "";
    if (reply)
        g_variant_get(reply, "(&s)", &owner);
    return owner;
}

DaemonProcess::DaemonProcess(const std::vector<std::string>& args, bool waitForName,
                             bool journalFrames)
    : m_journal(m_dir.File("journal.jsonl"))
{
    std::vector<std::string> argv = TargetCommand(BinaryPath());
    argv.insert(argv.end(), {"--journal", m_journal});
    if (journalFrames)
        argv.push_back("--journal-frames");
    argv.insert(argv.end(), args.begin(), args.end());
    g_auto(GStrv) env = g_environ_setenv(g_get_environ(), "QZ_PLATFORM_LOG",
                                         m_dir.File("daemon.log").c_str(), TRUE);
    env = g_environ_setenv(env, "STATE_DIRECTORY", StateDir().c_str(), TRUE);
    m_pid = Spawn(argv, env);
    if (waitForName) {
        PeerConnection peer;
        if (!WaitUntil([&] { return !peer.NameOwner(kDaemonBusName).empty(); }, 10000ms)) {
            Kill();
            throw std::runtime_error("daemon did not take its bus name");
        }
    }
}

void DaemonProcess::Stop() { WaitForNameRelease(EndChild(m_pid, SIGTERM, 5000ms)); }
void DaemonProcess::Kill() { WaitForNameRelease(EndChild(m_pid, SIGKILL, 5000ms)); }

std::optional<int> DaemonProcess::ExitStatus(std::chrono::milliseconds timeout)
{
    int status = 0;
    if (!WaitUntil([&] { return m_pid > 0 && waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout))
        return std::nullopt;
    m_pid = -1;
    return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

std::vector<nlohmann::json> DaemonProcess::Events(const std::string& kind) const
{
    std::vector<nlohmann::json> found;
    std::istringstream in(ReadFile(m_journal));
    for (std::string line; std::getline(in, line);) {
        auto entry = nlohmann::json::parse(line, nullptr, false);  // a torn last line is dropped
        if (!entry.is_discarded() && entry.value("event", "") == kind)
            found.push_back(std::move(entry));
    }
    return found;
}

std::vector<std::string> DaemonProcess::Payloads(int command) const
{
    std::vector<std::string> found;
    for (const auto& call : Events("call"))
        if (call.value("command", -1) == command)
            found.push_back(call.value("payload", ""));
    return found;
}

long ProgramRun::ErrLines() const { return std::count(err.begin(), err.end(), '\n'); }

std::ostream& operator<<(std::ostream& os, const ProgramRun& run)
{
    return os << "exit " << run.exitCode << "\n--- stdout\n"
              << run.out << "--- stderr\n"
              << run.err;
}

ProgramRun RunProgram(std::vector<std::string> argv)
{
    std::vector<char*> cargv = CArgv(argv);
    g_autofree gchar* out = nullptr;
    g_autofree gchar* err = nullptr;
    gint status = 0;
    if (!g_spawn_sync(nullptr, cargv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                      &err, &status, nullptr))
        throw std::runtime_error("cannot start " + argv[0]);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out ? out : "",
            err ? err : ""};
}

int ConnectOta(int flags) { return OtaSocket(false, 0, flags); }

std::vector<unsigned char> OtaFrame(int32_t size, int32_t arg4, int32_t arg5, int32_t arg1,
                                    std::vector<unsigned char> payload)
{
    std::vector<unsigned char> frame;
    for (uint32_t word : {uint32_t(size), uint32_t(arg4), uint32_t(arg5), uint32_t(arg1)})
        for (int shift = 24; shift >= 0; shift -= 8)
            frame.push_back(static_cast<unsigned char>(word >> shift));
    payload.resize(4080);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

pid_t ForkChild(const std::function<void()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        body();
        // No exit handlers nor a checker's leak report: the state copied
        // from the parent is not the child's to clean up.
        kill(getpid(), SIGKILL);
    }
    return pid;
}

pid_t ForkAsUser(uid_t uid, gid_t gid, const std::function<void()>& body)
{
    return ForkChild([&] {
        if (setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
            setresuid(uid, uid, uid) == 0)
            body();
    });
}

void WaitForChild(pid_t pid, std::chrono::milliseconds timeout)
{
    GMainContext* ctx = g_main_context_get_thread_default();
    Reap(pid, timeout, ctx != nullptr ? ctx : g_main_context_default());
}

uid_t NobodyUid() { return getpwnam("nobody") ? getpwnam("nobody")->pw_uid : 65534; }
gid_t NobodyGid() { return getpwnam("nobody") ? getpwnam("nobody")->pw_gid : 65534; }

OtaListener::OtaListener(int backlog) : m_listener(OtaSocket(true, backlog))
{
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
    for (int fd; (fd = OtaSocket(false, 0, SOCK_NONBLOCK)) >= 0;)
        m_queued.push_back(fd);
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
    const timeval wait{static_cast<time_t>(timeout.count() / 1000),
                       static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(m_connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    size_t total = 0;
    char buffer[65536];
    for (ssize_t n; (n = recv(m_connection, buffer, sizeof buffer, 0)) > 0;)
        total += static_cast<size_t>(n);
    return total;
}

std::string Hex(const void* data, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (auto b = static_cast<const unsigned char*>(data), end = b + len; b != end; ++b)
        out += {digits[*b >> 4], digits[*b & 15]};
    return out;
}

std::vector<unsigned char> Unhex(const std::string& hex)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

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
