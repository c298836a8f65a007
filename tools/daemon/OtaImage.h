// The OTA image being received: its announced plan and the payload bytes
// that arrived so far. They go to a new file next to the output path, which
// takes the output's name only once the plan's total has arrived: nothing
// that already exists at that path (a link, another user's file) is ever
// written through, and an image cut short never replaces a stored one.
#ifndef QZ_DAEMON_OTA_IMAGE_H
#define QZ_DAEMON_OTA_IMAGE_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Journal.h"

namespace qz {
namespace daemon {

// Parses the plan text "k s;k s;..." (segment number, size in bytes, each
// entry ended by ';'). Nullopt when an entry is not two decimal ints or
// when there is no entry at all.
std::optional<std::map<int, int>> ParseOtaPlan(const std::string& text);

// The plan's total: the sum of its segment sizes. Nullopt when a size is
// negative or the total is not positive: such a plan has nothing to receive.
std::optional<int64_t> PlannedTotal(const std::map<int, int>& plan);

struct OtaImageSummary {
    bool complete = false;  // the plan's total arrived
    int64_t bytes = 0;      // received
    int64_t planned = 0;
    std::string sha256;  // complete images only
    std::string path;
    bool written = false;  // stored under path
};

// The image's log line and its "ota_image" journal line; trigger says what
// ended it.
void ReportImage(Journal& journal, const OtaImageSummary& summary, const char* trigger);

// The process that submitted the plan, as the bus named it, and when.
struct OtaPlanner {
    pid_t pid = 0;
    uid_t uid = 0;
    int64_t plannedAtUs = 0;  // monotonic clock
};

class OtaImage {
public:
    explicit OtaImage(std::string outputPath);
    ~OtaImage();
    OtaImage(const OtaImage&) = delete;
    OtaImage& operator=(const OtaImage&) = delete;

    // A new plan replaces the old one and restarts the image. An image of
    // the old plan that had begun is abandoned; its summary is returned.
    std::optional<OtaImageSummary> SetPlan(int64_t totalBytes, const OtaPlanner& planner);
    bool HasPlan() const { return m_bHasPlan; }
    // Valid while there is a plan.
    const OtaPlanner& Planner() const { return m_planner; }
    int64_t PlannedTotal() const { return m_nPlannedTotal; }
    int64_t ReceivedBytes() const { return m_nReceived; }
    // Changes whenever an image is finished or a new plan restarts it, so
    // that a sender can tell whether its bytes belong to the current image.
    unsigned Generation() const { return m_nGeneration; }

    // Appends one frame's payload to the planned image (the caller checks
    // that there is a plan). True when the image is complete: the plan's
    // total is reached.
    bool Append(const unsigned char* data, size_t length);

    // Stores the complete image: the file holds exactly the bytes received
    // and takes the output's name. The plan is used up.
    OtaImageSummary Finish();
    // Ends the plan with its image unfinished: the bytes received are
    // dropped and the stored image stays as it was.
    OtaImageSummary Abandon();
    // Whether bytes of the current plan have arrived.
    bool Begun() const { return m_pWriter != nullptr; }

    // Removes the files an image in progress left beside the output when
    // its daemon was ended by force. Only regular files of this process's
    // user that match the temporary name pattern go. Returns their number.
    int RemoveLeftovers();

private:
    class Writer;

    void Restart();
    OtaImageSummary Summary() const;
    bool OpenPartFile();
    void DropPartFile();

    std::string m_strOutputPath;
    std::string m_strPartPath;  // the file being written, empty when none
    bool m_bHasPlan = false;
    OtaPlanner m_planner;
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
