// Incremental SHA-256 over libcrypto's EVP interface, which uses the
// processor's SHA instructions where there are any (several times GLib's
// GChecksum on the same machine). The daemon and qz-swu must agree on the
// digest of an image; the end-to-end benchmark times the same code.
#ifndef QZ_TOOLS_SHA256_H
#define QZ_TOOLS_SHA256_H

#include <openssl/types.h>

#include <cstddef>
#include <memory>
#include <string>

namespace qz {
namespace tools {

class Sha256 {
public:
    // Throws std::runtime_error when libcrypto offers no SHA-256.
    Sha256();

    void Update(const void* data, size_t length);

    // Lowercase hex of the digest of everything given so far; the object
    // then starts over.
    std::string HexDigest();

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_context;
};

}  // namespace tools
}  // namespace qz

#endif  // QZ_TOOLS_SHA256_H
