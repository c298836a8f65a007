// The OTA image being received: its announced plan and the payload bytes
// that arrived so far. They go to a new file next to the output path, which
// takes the output's name only once the image is finished: nothing that
// already exists at that path (a link, another user's file) is ever written
// through.
#ifndef QZ_DAEMON_OTA_IMAGE_H
#define QZ_DAEMON_OTA_IMAGE_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace qz {
namespace daemon {

// Parses the plan text "k s;k s;..." (segment number, size in bytes, each
// entry ended by ';'). Nullopt when an entry is not two decimal ints or
// when there is no entry at all.
std::optional<std::map<int, int>> ParseOtaPlan(const std::string& text);

struct OtaImageSummary {
    int64_t bytes = 0;
    std::string sha256;
    std::string path;
    bool written = false;  // false when the file could not be written
};

class OtaImage {
public:
    explicit OtaImage(std::string outputPath);
    ~OtaImage();
    OtaImage(const OtaImage&) = delete;
    OtaImage& operator=(const OtaImage&) = delete;

    // A new plan replaces the old one and restarts the image.
    void SetPlan(int64_t totalBytes);
    bool HasPlan() const { return m_bHasPlan; }
    int64_t PlannedTotal() const { return m_nPlannedTotal; }
    int64_t ReceivedBytes() const { return m_nReceived; }
    // Changes whenever an image is finished or a new plan restarts it, so
    // that a sender can tell whether its bytes belong to the current image.
    unsigned Generation() const { return m_nGeneration; }

    // Appends one frame's payload. True when the image is complete, i.e. a
    // plan with a positive total is in force and that total is reached.
    bool Append(const unsigned char* data, size_t length);

    // Closes the image: the file holds exactly the bytes received. The plan
    // is used up; the next bytes start a new image.
    OtaImageSummary Finish();

private:
    class Writer;

    void Restart();
    bool OpenPartFile();
    void DropPartFile();

    std::string m_strOutputPath;
    std::string m_strPartPath;  // the file being written, empty when none
    bool m_bHasPlan = false;
    int64_t m_nPlannedTotal = 0;
    int64_t m_nReceived = 0;
    unsigned m_nGeneration = 0;
    int m_nFd = -1;
    bool m_bWriteFailed = false;
    // Hashes and writes the image; set with its first bytes.
    std::unique_ptr<Writer> m_pWriter;
};

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_OTA_IMAGE_H
