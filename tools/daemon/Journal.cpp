#include "Journal.h"

namespace qz {
namespace daemon {

Journal::~Journal()
{
    if (m_file != nullptr)
        fclose(m_file);
}

bool Journal::Open(const std::string& path)
{
    if (path.empty())
        return true;
    m_file = fopen(path.c_str(), "ae");
    return m_file != nullptr;
}

void Journal::Write(const nlohmann::ordered_json& entry)
{
    if (m_file == nullptr)
        return;
    // Invalid UTF-8 in a received text must not throw out of a bus handler.
    std::string line = entry.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    line.push_back('\n');
    fwrite(line.data(), 1, line.size(), m_file);
    fflush(m_file);
}

void Journal::Error(const std::string& what) { Write({{"event", "error"}, {"what", what}}); }

std::string HexOf(const void* data, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    auto bytes = static_cast<const unsigned char*>(data);
    std::string hex;
    hex.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        hex.push_back(kDigits[bytes[i] >> 4]);
        hex.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return hex;
}

}  // namespace daemon
}  // namespace qz
