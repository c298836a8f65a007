// OTA stream throughput: downloadOTAdata against a plain loop of 4096-byte
// write() calls, both into the same reader on the same abstract socket,
// each on its own and both in alternating turns (BM_OtaPaired, the figure
// that the summary judges). The client's runs also count the heap
// allocations its calls make.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "AllocCounter.h"
#include "BenchEnv.h"
#include "OtaPeer.h"
#include "Paired.h"
#include "SWUContract.h"
#include "SWUpgradeInterface.h"

namespace {

using qz::swu::kOTAFrameSize;
using qz::swu::kOTAHeaderSize;
using qz::swu::kOTAMaxPayload;

constexpr auto kDrainTimeout = std::chrono::seconds(30);

qzbench::OtaReader* g_reader = nullptr;
SWUpgradeInterface* g_client = nullptr;

// Writes one whole buffer, continuing after short writes.
bool WriteAll(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Every byte written in a run must reach the reader before the run counts.
void RequireDrained(benchmark::State& state, uint64_t expected)
{
    if (!g_reader->WaitForBytes(expected, kDrainTimeout))
        state.SkipWithError("the reader did not receive every byte written");
}

// The limit: what the socket carries when a writer does nothing but write.
void BM_OtaPlainWrite(benchmark::State& state)
{
    int fd = qzbench::ConnectOtaStream();
    if (fd < 0) {
        state.SkipWithError("cannot connect to the OTA stream reader");
        return;
    }
    std::vector<char> frame(kOTAFrameSize, 0x5a);
    const uint64_t start = g_reader->BytesReceived();
    bool ok = true;
    for (auto _ : state) {
        if (!WriteAll(fd, frame.data(), frame.size())) {
            ok = false;
            break;
        }
    }
    close(fd);
    if (!ok) {
        state.SkipWithError("write() failed");
        return;
    }
    RequireDrained(state, start + state.iterations() * kOTAFrameSize);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kOTAFrameSize);
}

// The figure: one full-payload frame per call. Throughput counts payload
// bytes only (4080 of every 4096 on the wire), so the frame header is paid
// for out of the client's own share.
void BM_OtaDownload(benchmark::State& state)
{
    std::vector<char> payload(kOTAMaxPayload, 0x5a);
    // The first call of a stream connects; keep that out of the timed loop.
    const uint64_t beforeConnect = g_reader->BytesReceived();
    g_client->downloadOTAdata(1, payload.data(), kOTAMaxPayload, 0, 0);
    if (!g_reader->WaitForBytes(beforeConnect + kOTAFrameSize, kDrainTimeout)) {
        state.SkipWithError("the first frame did not reach the reader");
        return;
    }

    const uint64_t start = g_reader->BytesReceived();
    const uint64_t allocsBefore = qzbench::ThreadAllocations();
    for (auto _ : state)
        g_client->downloadOTAdata(1, payload.data(), kOTAMaxPayload, 0, 0);
    const uint64_t allocs = qzbench::ThreadAllocations() - allocsBefore;

    // One whole 4096-byte frame per call, or the figure means nothing.
    RequireDrained(state, start + state.iterations() * kOTAFrameSize);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kOTAMaxPayload);
    state.counters["allocs_per_frame"] =
        benchmark::Counter(static_cast<double>(allocs) / static_cast<double>(state.iterations()));
}

// The two writers in turns of one burst each, on the same reader, so that
// both meet the same load on a shared machine (see Paired.h). Each burst
// starts on drained sockets and is timed until its last write returns; the
// order of the two alternates to cancel any advantage of going first. The
// figures are the counters: both rates from the median bursts, their
// ratio, and the client's allocations per frame.
constexpr int kBurstFrames = 1024;  // 4 MiB: well past the socket buffers

bool PlainBurst(int fd, const std::vector<char>& frame)
{
    for (int i = 0; i < kBurstFrames; ++i)
        if (!WriteAll(fd, frame.data(), frame.size()))
            return false;
    return true;
}

void ClientBurst(std::vector<char>& payload, uint64_t& allocations)
{
    const uint64_t allocsBefore = qzbench::ThreadAllocations();
    for (int i = 0; i < kBurstFrames; ++i)
        g_client->downloadOTAdata(1, payload.data(), kOTAMaxPayload, 0, 0);
    allocations += qzbench::ThreadAllocations() - allocsBefore;
}

void BM_OtaPaired(benchmark::State& state)
{
    std::vector<char> frame(kOTAFrameSize, 0x5a);
    std::vector<char> payload(kOTAMaxPayload, 0x5a);
    int fd = qzbench::ConnectOtaStream();
    if (fd < 0) {
        state.SkipWithError("cannot connect to the OTA stream reader");
        return;
    }
    // Connects the client's stream if no earlier run did.
    uint64_t expected = g_reader->BytesReceived() + kOTAFrameSize;
    g_client->downloadOTAdata(1, payload.data(), kOTAMaxPayload, 0, 0);

    qzbench::PairedTimes times;
    uint64_t clientAllocations = 0;
    bool plainOk = true;
    for (auto _ : state) {
        const bool clientFirst = times.FigureFirst();
        for (bool clientTurn : {clientFirst, !clientFirst}) {
            // Every burst starts on empty sockets.
            if (!g_reader->WaitForBytes(expected, kDrainTimeout)) {
                state.SkipWithError("the reader did not receive every byte written");
                break;
            }
            if (clientTurn)
                times.Time(true, [&] { ClientBurst(payload, clientAllocations); });
            else
                times.Time(false, [&] { plainOk = PlainBurst(fd, frame) && plainOk; });
            expected += static_cast<uint64_t>(kBurstFrames) * kOTAFrameSize;
        }
    }
    close(fd);
    if (!plainOk)
        state.SkipWithError("write() failed");
    RequireDrained(state, expected);
    if (state.error_occurred())
        return;

    const double plainRate =
        kBurstFrames * static_cast<double>(kOTAFrameSize) / times.LimitMedian();
    const double clientRate =
        kBurstFrames * static_cast<double>(kOTAMaxPayload) / times.FigureMedian();
    const double frames = static_cast<double>(state.iterations()) * kBurstFrames;
    state.counters["plain_bytes_per_second"] = plainRate;
    state.counters["client_payload_bytes_per_second"] = clientRate;
    state.counters["ratio"] = clientRate / plainRate;
    state.counters["allocs_per_frame"] = static_cast<double>(clientAllocations) / frames;
}

// How a frame reaches the socket: built in one 4096-byte buffer and sent
// with send(), as the client does, against the copy-free alternative of one
// sendmsg() of three pieces (header, the caller's payload, a static zero
// tail). Same bytes, one system call each, on a socket pair drained by a
// thread of its own; the ratio is the pieces' time over the buffer's, so
// above 1 means the copy-free send is the slower one.
const unsigned char kZeroTail[kOTAMaxPayload] = {};

void SendBuiltFrame(int fd, const unsigned char* header, const std::vector<char>& payload)
{
    unsigned char frame[kOTAFrameSize];
    std::memcpy(frame, header, kOTAHeaderSize);
    std::memcpy(frame + kOTAHeaderSize, payload.data(), payload.size());
    std::memset(frame + kOTAHeaderSize + payload.size(), 0, kOTAMaxPayload - payload.size());
    benchmark::DoNotOptimize(send(fd, frame, sizeof frame, MSG_NOSIGNAL));
}

void SendFramePieces(int fd, unsigned char* header, std::vector<char>& payload)
{
    iovec pieces[3] = {{header, kOTAHeaderSize},
                       {payload.data(), payload.size()},
                       {const_cast<unsigned char*>(kZeroTail), kOTAMaxPayload - payload.size()}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = 3;
    benchmark::DoNotOptimize(sendmsg(fd, &message, MSG_NOSIGNAL));
}

void BM_FrameSendPaired(benchmark::State& state)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    std::thread drain([fd = pair[1]] {
        std::vector<char> buffer(256 * 1024);
        while (read(fd, buffer.data(), buffer.size()) > 0) {
        }
    });
    unsigned char header[kOTAHeaderSize] = {0, 0, 0x0f, 0xf0};
    std::vector<char> payload(kOTAMaxPayload, 0x5a);
    qzbench::PairedTimes times;
    for (auto _ : state) {
        const bool piecesFirst = times.FigureFirst();
        for (bool piecesTurn : {piecesFirst, !piecesFirst})
            times.Time(piecesTurn, [&] {
                for (int i = 0; i < kBurstFrames; ++i) {
                    if (piecesTurn)
                        SendFramePieces(pair[0], header, payload);
                    else
                        SendBuiltFrame(pair[0], header, payload);
                }
            });
    }
    close(pair[0]);
    drain.join();
    close(pair[1]);
    state.counters["pieces_us_per_frame"] = times.FigureMedian() / kBurstFrames * 1e6;
    state.counters["buffer_us_per_frame"] = times.LimitMedian() / kBurstFrames * 1e6;
    state.counters["ratio"] = times.Ratio();
}

BENCHMARK(BM_OtaPlainWrite)->UseRealTime();
BENCHMARK(BM_OtaDownload)->UseRealTime();
BENCHMARK(BM_OtaPaired)->UseRealTime();
BENCHMARK(BM_FrameSendPaired)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    // A reader that goes away must fail a write, not end the process.
    signal(SIGPIPE, SIG_IGN);
    if (!qzbench::AllocCounterWorks()) {
        std::fprintf(stderr, "allocation counter does not see allocations\n");
        return 1;
    }
    return qzbench::RunBenchmarks(argc, argv, [] {
        qzbench::BenchBus bus;
        qzbench::OtaReader reader;
        auto client = std::make_unique<SWUpgradeInterface>();
        g_reader = &reader;
        g_client = client.get();
        benchmark::RunSpecifiedBenchmarks();
        g_client = nullptr;
        g_reader = nullptr;
    });
}
