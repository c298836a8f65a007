#include "UserFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CliSupport.h"

namespace qzcli {

FileDescriptor::~FileDescriptor()
{
    if (m_fd >= 0)
        close(m_fd);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

RegularFile OpenRegularFile(const std::string& path, const std::string& what)
{
    // O_NONBLOCK: opening a FIFO without a writer, or a device, returns at
    // once, so that fstat can turn it away.
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0)
        throw UsageError("cannot read " + what + " " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0)
        throw UsageError("cannot read " + what + " " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw UsageError(what + " " + path + " is not a regular file");
    // Reads from here on may wait for the disk as any file read does.
    fcntl(fd.Get(), F_SETFL, fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
    return {std::move(fd), st.st_size};
}

std::string ReadSmallRegularFile(const std::string& path, const std::string& what, size_t limit)
{
    RegularFile file = OpenRegularFile(path, what);
    std::string tooLarge = what + " " + path + " is larger than " + HumanBytes(limit);
    if (file.size > static_cast<off_t>(limit))
        throw UsageError(tooLarge);
    // One byte more than the limit tells a file that grew since fstat.
    std::string content(limit + 1, '\0');
    size_t length = 0;
    while (length < content.size()) {
        ssize_t n = read(file.fd.Get(), content.data() + length, content.size() - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw UsageError("cannot read " + what + " " + path + ": " + std::strerror(errno));
        if (n == 0)
            break;
        length += static_cast<size_t>(n);
    }
    if (length > limit)
        throw UsageError(tooLarge);
    content.resize(length);
    return content;
}

bool ReadFully(int fd, char* buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = read(fd, buffer + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace qzcli
