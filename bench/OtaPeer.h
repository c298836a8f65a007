// The reading side of the OTA stream for benchmarks: listens on the abstract
// socket that the client connects to and drains every connection, counting
// the bytes it receives.
#ifndef QZ_BENCH_OTA_PEER_H
#define QZ_BENCH_OTA_PEER_H

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace qzbench {

// The client's full-length abstract address: a zero byte, the name, zero
// fill to the end of sun_path. Only a peer bound to exactly these 110
// bytes is reachable.
sockaddr_un OtaStreamAddress();
constexpr socklen_t kOtaAddressLength = sizeof(sockaddr_un);

// A stream socket connected to OtaStreamAddress(), or -1.
int ConnectOtaStream();

class OtaReader {
public:
    // Binds and listens; throws std::runtime_error when the name stays taken
    // for longer than bindTimeout (another process streaming right now).
    explicit OtaReader(std::chrono::milliseconds bindTimeout = std::chrono::seconds(30));
    ~OtaReader();

    OtaReader(const OtaReader&) = delete;
    OtaReader& operator=(const OtaReader&) = delete;

    uint64_t BytesReceived() const { return m_bytes.load(std::memory_order_acquire); }

    // Waits until at least `total` bytes have arrived; false on timeout.
    bool WaitForBytes(uint64_t total, std::chrono::milliseconds timeout) const;

private:
    void Run();

    int m_listenFd = -1;
    int m_stopFd = -1;
    std::atomic<uint64_t> m_bytes{0};
    std::thread m_thread;
};

}  // namespace qzbench

#endif  // QZ_BENCH_OTA_PEER_H
