#include "Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace qz {
namespace tools {

Sha256::Sha256() : m_context(EVP_MD_CTX_new(), &EVP_MD_CTX_free)
{
    if (!m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available");
}

void Sha256::Update(const void* data, size_t length)
{
    if (length > 0)
        EVP_DigestUpdate(m_context.get(), data, length);
}

std::string Sha256::HexDigest()
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

}  // namespace tools
}  // namespace qz
