// Files named on the command line (an information file, an OTA image).
// They are opened without blocking and accepted only when they are regular
// files: a FIFO would hold the tool for ever and a device such as /dev/zero
// never ends, and either one is a mistake the user should hear about at
// once, in the same words whichever command met it.
#ifndef QZ_SWU_CLI_USER_FILE_H
#define QZ_SWU_CLI_USER_FILE_H

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace qzcli {

// An open descriptor, closed when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_fd; }

private:
    int m_fd;
};

// A regular file opened for reading, and its size when it was opened.
struct RegularFile {
    FileDescriptor fd;
    off_t size = 0;
};

// Opens path for reading. what names the file for the user ("image",
// "information file"). Throws UsageError "cannot read WHAT PATH: REASON" or
// "WHAT PATH is not a regular file".
RegularFile OpenRegularFile(const std::string& path, const std::string& what);

// The whole content of a regular file of at most limit bytes, read with one
// bound whatever the file claims or grows to. Throws UsageError as
// OpenRegularFile does, and "WHAT PATH is larger than LIMIT" past the limit.
std::string ReadSmallRegularFile(const std::string& path, const std::string& what, size_t limit);

// Reads exactly length bytes, resuming after short reads and signals.
// False on an error or when the file ends first.
bool ReadFully(int fd, char* buffer, size_t length);

}  // namespace qzcli

#endif  // QZ_SWU_CLI_USER_FILE_H
