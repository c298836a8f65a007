// Journal of everything the daemon received: one JSON object per line.
//
// Tests read the file while the daemon runs, so every line is flushed as
// soon as it is written.
#ifndef QZ_DAEMON_JOURNAL_H
#define QZ_DAEMON_JOURNAL_H

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace qz {
namespace daemon {

class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // An empty path keeps no journal. Returns false when the file cannot be
    // opened for appending.
    bool Open(const std::string& path);
    void Write(const nlohmann::ordered_json& entry);
    // Shorthand for {"event":"error","what":what}.
    void Error(const std::string& what);

private:
    FILE* m_file = nullptr;
};

// Lowercase hex of a byte run, as the journal records payloads.
std::string HexOf(const void* data, size_t length);

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_JOURNAL_H
