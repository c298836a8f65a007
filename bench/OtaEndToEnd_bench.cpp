// OTA end to end: a 64 MiB image streamed as qz-swu ota does it (SHA-256 of
// each piece with libcrypto, one downloadOTAdata per 4080 bytes) into the
// reference daemon, from the moment the plan's pause is over until the
// daemon has hashed, written, synced and renamed the image. The limit is a
// plain loop of 4096-byte write() calls of the same 64 MiB into a socket
// that a thread drains, timed in alternating turns with the figure.
//
// Beside it, each measured here on its own: SHA-256 of the image, a
// buffered write of it to a file next to the daemon's output (with fsync),
// and copying it through a socket (the plain loop).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "BenchEnv.h"
#include "Paired.h"
#include "SWUContract.h"
#include "SWUpgradeInterface.h"
#include "Sha256.h"
#include "TestSupport.h"

namespace {

using qz::swu::kOTAFrameSize;
using qz::swu::kOTAMaxPayload;
using namespace std::chrono_literals;

constexpr int kImageBytes = 64 * 1024 * 1024;
constexpr int kSegmentBytes = 16 * 1024 * 1024;  // qz-swu's default segment size

std::vector<unsigned char> MakeImage()
{
    std::vector<unsigned char> image(kImageBytes);
    std::mt19937 random(7);
    for (auto& byte : image)
        byte = static_cast<unsigned char>(random());
    return image;
}

std::map<int, int> Plan()
{
    std::map<int, int> plan;
    for (int segment = 1, done = 0; done < kImageBytes; ++segment, done += kSegmentBytes)
        plan[segment] = std::min(kSegmentBytes, kImageBytes - done);
    return plan;
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One image through the library into the daemon. The plan (and its pause)
// comes first, untimed. Returns the seconds until the daemon journalled the
// image, or a negative value when it did not arrive whole.
double StreamImage(qztest::DaemonProcess& daemon, const std::string& imagePath,
                   const std::vector<unsigned char>& image, const std::string& expectedSha,
                   std::vector<double>& sendSeconds)
{
    const size_t imagesBefore = daemon.Events("ota_image").size();
    SWUpgradeInterface client;
    if (!client.startOTAUpgrade(Plan()))
        return -1;
    const auto start = std::chrono::steady_clock::now();
    qz::tools::Sha256 sha;
    const unsigned char* next = image.data();
    for (const auto& [segment, size] : Plan()) {
        for (int offset = 0, frame = 0; offset < size; offset += kOTAMaxPayload, ++frame) {
            const int length = std::min(kOTAMaxPayload, size - offset);
            sha.Update(next, static_cast<size_t>(length));
            client.downloadOTAdata(segment, const_cast<unsigned char*>(next), length, offset,
                                   frame);
            next += length;
        }
    }
    const bool sent = sha.HexDigest() == expectedSha;
    sendSeconds.push_back(SecondsSince(start));
    std::vector<nlohmann::json> images;
    const auto deadline = start + 60s;
    while ((images = daemon.Events("ota_image")).size() == imagesBefore &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    const double seconds = SecondsSince(start);
    client.stopOTAUpgrade();
    if (!sent || images.size() == imagesBefore ||
        images.back().value("sha256", "") != expectedSha ||
        images.back().value("bytes", 0) != kImageBytes)
        return -1;
    // The file too, not only the daemon's digest of what it received.
    const std::string written = qztest::ReadFile(imagePath);
    if (written.size() != image.size() ||
        std::memcmp(written.data(), image.data(), image.size()) != 0)
        return -1;
    return seconds;
}

// The limit: the same bytes in 4096-byte writes through a socket pair.
double PlainWriteSeconds(const std::vector<unsigned char>& image)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    std::thread drain([fd = pair[1]] {
        std::vector<char> buffer(256 * 1024);
        while (read(fd, buffer.data(), buffer.size()) > 0) {
        }
    });
    const auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (size_t done = 0; ok && done < image.size(); done += kOTAFrameSize) {
        const size_t length = std::min<size_t>(kOTAFrameSize, image.size() - done);
        ok = write(pair[0], image.data() + done, length) == static_cast<ssize_t>(length);
    }
    shutdown(pair[0], SHUT_WR);
    drain.join();
    const double seconds = SecondsSince(start);
    close(pair[0]);
    close(pair[1]);
    return ok ? seconds : -1;
}

double HashSeconds(const std::vector<unsigned char>& image)
{
    const auto start = std::chrono::steady_clock::now();
    qz::tools::Sha256 sha;
    for (size_t done = 0; done < image.size(); done += kOTAMaxPayload)
        sha.Update(image.data() + done, std::min<size_t>(kOTAMaxPayload, image.size() - done));
    benchmark::DoNotOptimize(sha.HexDigest());
    return SecondsSince(start);
}

// A plain buffered write of the image: 4080-byte pieces through a 1 MiB
// stdio buffer and the page cache, then fsync. (The daemon itself writes
// past the page cache where it can.)
double FileWriteSeconds(const std::vector<unsigned char>& image, const std::string& path)
{
    const auto start = std::chrono::steady_clock::now();
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return -1;
    setvbuf(file, nullptr, _IOFBF, 1024 * 1024);
    bool ok = true;
    for (size_t done = 0; ok && done < image.size(); done += kOTAMaxPayload) {
        const size_t length = std::min<size_t>(kOTAMaxPayload, image.size() - done);
        ok = fwrite(image.data() + done, 1, length, file) == length;
    }
    ok = fflush(file) == 0 && fsync(fileno(file)) == 0 && ok;
    ok = fclose(file) == 0 && ok;
    unlink(path.c_str());
    return ok ? SecondsSince(start) : -1;
}

void BM_OtaEndToEndPaired(benchmark::State& state)
{
    const std::vector<unsigned char> image = MakeImage();
    qz::tools::Sha256 sha;
    sha.Update(image.data(), image.size());
    const std::string expectedSha = sha.HexDigest();

    qztest::TempDir dir;
    qztest::DaemonProcess daemon({"--ota-output", dir.File("image.bin")}, true, false);
    if (!qztest::WaitUntil([&] { return !daemon.Events("ota_listening").empty(); })) {
        state.SkipWithError("the daemon does not listen on the OTA socket");
        return;
    }
    qzbench::PairedTimes times;
    std::vector<double> hash, fileWrite, send;
    for (auto _ : state) {
        const bool clientFirst = times.FigureFirst();
        for (bool clientTurn : {clientFirst, !clientFirst}) {
            const double seconds =
                clientTurn ? StreamImage(daemon, dir.File("image.bin"), image, expectedSha, send)
                           : PlainWriteSeconds(image);
            if (seconds < 0) {
                state.SkipWithError(clientTurn ? "the daemon did not get the image whole"
                                               : "the plain write loop failed");
                return;
            }
            if (clientTurn)
                times.AddFigure(seconds);
            else
                times.AddLimit(seconds);
        }
        hash.push_back(HashSeconds(image));
        fileWrite.push_back(FileWriteSeconds(image, dir.File("write-test.bin")));
    }
    const double mib = kImageBytes / (1024.0 * 1024.0);
    const double clientRate = kImageBytes / times.FigureMedian();
    const double plainRate = kImageBytes / times.LimitMedian();
    state.counters["end_to_end_bytes_per_second"] = clientRate;
    state.counters["plain_bytes_per_second"] = plainRate;
    state.counters["ratio"] = clientRate / plainRate;
    state.counters["end_to_end_ms"] = times.FigureMedian() * 1e3;
    state.counters["plain_ms"] = times.LimitMedian() * 1e3;
    state.counters["client_send_ms"] = qzbench::PairedTimes::Median(send) * 1e3;
    state.counters["sha256_ms"] = qzbench::PairedTimes::Median(hash) * 1e3;
    state.counters["file_write_ms"] = qzbench::PairedTimes::Median(fileWrite) * 1e3;
    state.counters["image_mib"] = mib;
}

// Each turn costs the plan's pause (2 s) on top of the stream: a few
// turns are enough for a median.
BENCHMARK(BM_OtaEndToEndPaired)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    return qzbench::RunBenchmarks(argc, argv, [] {
        qzbench::BenchBus bus;
        qztest::KvStoreRoot store;
        benchmark::RunSpecifiedBenchmarks();
    });
}
