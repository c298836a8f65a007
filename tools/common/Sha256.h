// Incremental SHA-256 over libcrypto's EVP interface, which uses the
// processor's SHA instructions where there are any (several times GLib's
// GChecksum on the same machine). Shared by the daemon and qz-swu, which
// must agree on the digest of an image.
#ifndef QZ_TOOLS_SHA256_H
#define QZ_TOOLS_SHA256_H

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

namespace qz {
namespace tools {

class Sha256 {
public:
    Sha256() : m_context(EVP_MD_CTX_new(), &EVP_MD_CTX_free)
    {
        if (!m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1)
            throw std::runtime_error("SHA-256 is not available");
    }

    void Update(const void* data, size_t length)
    {
        if (length > 0)
            EVP_DigestUpdate(m_context.get(), data, length);
    }

    // Lowercase hex of the digest of everything given so far; the object
    // then starts over.
    std::string HexDigest()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_context.get(), digest, &length);
        EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr);
        static const char kHex[] = "0123456789abcdef";
        std::string text;
        for (unsigned int i = 0; i < length; ++i) {
            text += kHex[digest[i] >> 4];
            text += kHex[digest[i] & 0x0f];
        }
        return text;
    }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m_context;
};

}  // namespace tools
}  // namespace qz

#endif  // QZ_TOOLS_SHA256_H
