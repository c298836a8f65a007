#include "OtaPeer.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "SWUContract.h"

namespace qzbench {

namespace {

// Large reads keep the reader ahead of any writer, so that the figures
// compare the writers and not the reader.
constexpr size_t kReadChunk = 64 * 1024;

bool BindWithin(int fd, std::chrono::milliseconds timeout)
{
    const sockaddr_un addr = OtaStreamAddress();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), kOtaAddressLength) == 0)
            return true;
        if (errno != EADDRINUSE || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

sockaddr_un OtaStreamAddress()
{
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path + 1, qz::swu::kOTASocketName, sizeof(addr.sun_path) - 2);
    return addr;
}

int ConnectOtaStream()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_un addr = OtaStreamAddress();
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), kOtaAddressLength) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

OtaReader::OtaReader(std::chrono::milliseconds bindTimeout)
{
    m_listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        throw std::runtime_error(std::string("socket: ") + strerror(errno));
    if (!BindWithin(m_listenFd, bindTimeout) || listen(m_listenFd, 16) != 0) {
        std::string reason = strerror(errno);
        close(m_listenFd);
        throw std::runtime_error("cannot listen on the OTA stream name: " + reason);
    }
    m_stopFd = eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { Run(); });
}

OtaReader::~OtaReader()
{
    uint64_t one = 1;
    if (write(m_stopFd, &one, sizeof(one)) < 0)
        std::terminate();  // the reader thread could never be joined
    m_thread.join();
    close(m_stopFd);
    close(m_listenFd);
}

bool OtaReader::WaitForBytes(uint64_t total, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (BytesReceived() < total) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// One thread serves every connection at once: the client keeps its stream
// open between benchmark runs, so a reader that drained connections one
// after another would stall the next writer behind it.
void OtaReader::Run()
{
    std::vector<pollfd> fds{{m_stopFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
    std::vector<char> buffer(kReadChunk);
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents != 0)
            break;
        if (fds[1].revents & POLLIN) {
            int conn = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn >= 0)
                fds.push_back({conn, POLLIN, 0});
        }
        for (size_t i = 2; i < fds.size();) {
            if (fds[i].revents == 0) {
                ++i;
                continue;
            }
            ssize_t n = read(fds[i].fd, buffer.data(), buffer.size());
            if (n > 0) {
                m_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_release);
                ++i;
            } else if (n < 0 && errno == EINTR) {
                ++i;
            } else {
                close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<long>(i));
            }
        }
    }
    for (size_t i = 2; i < fds.size(); ++i)
        close(fds[i].fd);
}

}  // namespace qzbench
