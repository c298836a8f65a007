// The ota subcommand: cuts an image into a segment plan, announces it and
// streams the image to the daemon frame by frame.
#include <glib.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "Commands.h"
#include "ProgressBar.h"
#include "SWUContract.h"
#include "Sha256.h"
#include "ToolLog.h"
#include "UserFile.h"

namespace qzcli {

namespace {

// Payload room of one stream frame (4096 bytes less the 16-byte header).
constexpr int kFramePayload = 4080;
constexpr long long kDefaultSegmentSize = 1024 * 1024;
// The plan total and the sent count are signed 32-bit in the library.
constexpr long long kMaxImageSize = std::numeric_limits<int32_t>::max();
// How long the library pauses after the daemon has accepted a plan.
constexpr long long kPlanSettleSeconds = 2;
// Redrawing on every 4 KiB frame would cost more than the frame itself.
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

const char kOtaHelp[] =
    "Usage: qz-swu ota IMAGE [--segment-size BYTES] [--events] [--json] [--verbose]\n"
    "\n"
    "Uploads IMAGE to the daemon as an OTA upgrade:\n"
    "  1. cuts it into segments of --segment-size bytes (default 1048576; the last\n"
    "     one holds the rest), numbered from 1, and announces that plan;\n"
    "  2. streams every segment in frames of at most 4080 payload bytes, with a\n"
    "     bar showing bytes, rate and time left;\n"
    "  3. ends the OTA session.\n"
    "\n"
    "Frame header words: first argument = segment number, fourth = byte offset of\n"
    "the frame within its segment, fifth = index of the frame within its segment\n"
    "(from 0). A frame never spans two segments.\n"
    "\n"
    "The sha256 of the streamed bytes is printed at the end, to be compared with\n"
    "what the daemon received.\n"
    "\n"
    "Once the daemon has taken the plan, the library waits 2 s before the first\n"
    "frame, so that the daemon is ready for the stream; the tool says so.\n"
    "\n"
    "  --events        with --json: a JSON line for the plan and one per 10%\n"
    "                  before the final object\n"
    "\n"
    "Exit status: 0 the whole image went through, 1 failed (plan not accepted,\n"
    "daemon unreachable or lost, a frame not taken), 2 usage error (including an\n"
    "IMAGE that is not a readable, non-empty regular file), 130 interrupted.\n";

struct OtaArgs {
    std::string image;
    long long segmentSize = kDefaultSegmentSize;
    bool events = false;
};

OtaArgs ParseOta(int argc, char** argv, GlobalOptions& global)
{
    enum { kSegmentSize = 1, kEvents };
    OtaArgs a;
    auto rest = ParseArguments(
        argc, argv, {{"segment-size", true, kSegmentSize}, {"events", false, kEvents}}, global,
        kOtaHelp, [&](int key, const char* arg) {
            if (key == kSegmentSize)
                a.segmentSize = ParseInteger(arg, "--segment-size", 1, kMaxImageSize);
            else if (key == kEvents)
                a.events = true;
        });
    ExpectPositionals(rest, 1, "IMAGE");
    if (a.events && !global.json)
        throw UsageError("--events goes with --json");
    a.image = rest[0];
    return a;
}

// Segment number (from 1) to segment size; the last segment takes the rest.
std::map<int, int> BuildPlan(long long imageSize, long long segmentSize)
{
    std::map<int, int> plan;
    int number = 1;
    for (long long offset = 0; offset < imageSize; offset += segmentSize)
        plan[number++] = static_cast<int>(std::min(segmentSize, imageSize - offset));
    return plan;
}

struct StreamReport {
    long long bytes = 0;
    long long frames = 0;
    std::string sha256;
};

class ImageStreamer {
public:
    ImageStreamer(Client& client, int image, long long total, BarStyle style)
        : m_client(client),
          m_image(image),
          m_total(total),
          m_live(style == BarStyle::kLive),
          m_bar("ota", style, 10, "ota")
    {
    }

    // Streams the image as the plan says and fills in what went through.
    // Returns the empty text, or the reason it stopped.
    std::string Run(const std::map<int, int>& plan, StreamReport& report)
    {
        for (const auto& [segment, size] : plan) {
            std::string stopped = SendSegment(segment, size, report);
            if (!stopped.empty())
                return stopped;
        }
        m_bar.Finish();
        report.sha256 = m_checksum.HexDigest();
        return {};
    }

    double Seconds() const { return m_rate.Seconds(); }

private:
    std::string SendSegment(int segment, int size, StreamReport& report)
    {
        char payload[kFramePayload];
        int frame = 0;
        for (int offset = 0; offset < size; offset += kFramePayload, ++frame) {
            if (g_interrupted)
                return "interrupted";
            int length = std::min(kFramePayload, size - offset);
            if (!ReadFully(m_image, payload, static_cast<size_t>(length)))
                return "the image changed while it was read";
            m_checksum.Update(payload, static_cast<size_t>(length));
            // The library reports success whatever happens on the socket; its
            // sent count is the one trace of a frame that got through.
            int32_t before = m_client.StreamedBytes();
            m_client.downloadOTAdata(segment, payload, length, offset, frame);
            if (m_client.StreamedBytes() != before + length)
                return "frame " + std::to_string(frame) + " of segment " + std::to_string(segment) +
                       " was not taken by the daemon's OTA stream";
            report.bytes += length;
            ++report.frames;
            Draw(report.bytes);
        }
        return {};
    }

    void Draw(long long sent)
    {
        auto now = std::chrono::steady_clock::now();
        // Plain lines are already limited to one per step by the bar.
        if (m_live && sent != m_total && now - m_lastDraw < kRedrawEvery)
            return;
        m_lastDraw = now;
        double rate = m_rate.BytesPerSecond(static_cast<double>(sent));
        std::string detail =
            HumanBytes(static_cast<double>(sent)) + " / " +
            HumanBytes(static_cast<double>(m_total)) + "  " + HumanBytes(rate) + "/s  " +
            m_rate.TimeLeft(static_cast<double>(sent), static_cast<double>(m_total)) + " left";
        m_bar.Show(static_cast<int>(sent * 100 / m_total), detail);
    }

    Client& m_client;
    int m_image;
    long long m_total;
    bool m_live;
    ProgressBar m_bar;
    RateMeter m_rate;
    qz::tools::Sha256 m_checksum;
    std::chrono::steady_clock::time_point m_lastDraw{};
};

// "1001 (name)", or the bare number of a user without an account.
std::string DescribeUser(uid_t uid)
{
    std::vector<char> text(4096);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, text.data(), text.size(), &found) == 0 && found != nullptr)
        return std::to_string(uid) + " (" + found->pw_name + ")";
    return std::to_string(uid);
}

bool IsDaemonUser(uid_t uid)
{
    std::vector<char> text(4096);
    passwd entry{};
    passwd* found = nullptr;
    return getpwnam_r(QZ_SWU_DAEMON_USER, &entry, text.data(), text.size(), &found) == 0 &&
           found != nullptr && found->pw_uid == uid;
}

// The library streams only to a listener running as root, as this user or
// as the daemon's user. When a stream went nowhere, this looks who holds the
// socket's name (the full address the library connects to) and names any
// other holder; empty when there is none or it is one of those.
std::string ForeignOtaListener()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, qz::swu::kOTASocketName,
                std::strlen(qz::swu::kOTASocketName));
    // A full backlog makes connect wait; the send time-out bounds it.
    timeval limit{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ucred peer{};
    socklen_t length = sizeof peer;
    bool known = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
    close(fd);
    if (!known || peer.uid == 0 || peer.uid == geteuid() || IsDaemonUser(peer.uid))
        return {};
    return std::string("the OTA socket @") + qz::swu::kOTASocketName + " is held by uid " +
           DescribeUser(peer.uid) + ", pid " + std::to_string(peer.pid) +
           ", not by the upgrade daemon, so nothing was sent to it";
}

// A readable, non-empty regular file that fits the library's 32-bit sizes.
RegularFile OpenImage(const std::string& path)
{
    RegularFile image = OpenRegularFile(path, "image");
    if (image.size <= 0)
        throw UsageError("image " + path + " is empty");
    if (image.size > kMaxImageSize)
        throw UsageError("image " + path + " is larger than 2147483647 bytes");
    return image;
}

// The library holds the first frame back for a while after the daemon has
// taken the plan, so that the daemon is ready for the stream; without a word
// that pause looks like a hang.
void Announce(Context& ctx, const OtaArgs& a, long long size, size_t segments)
{
    std::string settle = "once the daemon takes the plan, it gets " +
                         Counted(kPlanSettleSeconds, "second") +
                         " to get ready for the stream before the first frame";
    ctx.Note("announcing the plan of " + a.image + "; " + settle);
    if (ctx.Json()) {
        if (a.events)
            std::cout << JsonLine({{"command", ctx.Command()},
                                   {"event", "plan"},
                                   {"segments", segments},
                                   {"settle_seconds", kPlanSettleSeconds}})
                      << std::endl;
        return;
    }
    std::cout << "ota: announcing " << a.image << " (" << HumanBytes(static_cast<double>(size))
              << " in " << Counted(static_cast<long long>(segments), "segment") << "); " << settle
              << std::endl;
}

}  // namespace

int RunOta(int argc, char** argv, GlobalOptions global)
{
    OtaArgs a = ParseOta(argc, argv, global);
    RegularFile image = OpenImage(a.image);
    long long size = image.size;

    Context ctx("ota", global);
    Client& client = ctx.Daemon();
    std::map<int, int> plan = BuildPlan(size, a.segmentSize);
    nlohmann::json fields = {{"image", a.image},
                             {"size", size},
                             {"segments", plan.size()},
                             {"segment_size", a.segmentSize}};
    if (auto failed = ctx.RequireDaemon("OTA plan for " + a.image + " not sent", fields))
        return *failed;
    Announce(ctx, a, size, plan.size());
    if (!client.startOTAUpgrade(plan))
        return ctx.Explain("OTA plan for " + a.image + " not accepted", SWU_PROCESS_OTA, fields);

    StreamReport report;
    ImageStreamer streamer(client, image.fd.Get(), size, ctx.ProgressStyle(a.events));
    std::string stopped = streamer.Run(plan, report);
    client.stopOTAUpgrade();
    fields["bytes"] = report.bytes;
    fields["frames"] = report.frames;
    std::string sent = " after " + std::to_string(report.bytes) + " bytes";
    if (stopped == "interrupted")
        return ctx.Fail(reason::kInterrupted, "interrupted" + sent, "OTA session ended", fields, {},
                        kExitInterrupt);
    if (!stopped.empty() && ctx.DaemonLeft())
        return ctx.Lost(stopped + sent, fields);
    if (std::string holder = stopped.empty() ? "" : ForeignOtaListener(); !holder.empty())
        return ctx.Fail(reason::kStreamFailed, stopped + sent + ": " + holder,
                        "stop that process and restart qz-swu-daemon", fields);
    if (!stopped.empty())
        return ctx.Fail(
            reason::kStreamFailed, stopped + sent,
            "check that qz-swu-daemon listens on its OTA socket; library log: " + LogDescription(),
            fields);

    double seconds = streamer.Seconds();
    fields["sha256"] = report.sha256;
    fields["seconds"] = seconds;
    char timing[64];
    snprintf(timing, sizeof timing, "%.2f s, %s/s", seconds,
             HumanBytes(seconds > 0 ? report.bytes / seconds : 0).c_str());
    return ctx.Done(fields, {"ota: sent " + Counted(report.bytes, "byte") + " in " +
                                 Counted(static_cast<long long>(plan.size()), "segment") + ", " +
                                 Counted(report.frames, "frame") + " (" + timing + ")",
                             "sha256: " + report.sha256});
}

}  // namespace qzcli
