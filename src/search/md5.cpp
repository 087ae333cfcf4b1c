// MD5 digests through OpenSSL EVP.
#include "search/md5.h"

#include <openssl/evp.h>

#include <new>

namespace merravine {

Md5::Md5() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr) throw std::bad_alloc();
    Begin();
}

Md5::~Md5() { EVP_MD_CTX_free(context_); }

void Md5::Begin() { EVP_DigestInit_ex(context_, EVP_md5(), nullptr); }

void Md5::Update(const void* data, size_t length) { EVP_DigestUpdate(context_, data, length); }

ContentKey Md5::FinishKey() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    ContentKey key;
    for (unsigned int i = 0; i < length && i < 16; ++i) {
        key.bytes[2 * i] = static_cast<uint8_t>(kHex[digest[i] >> 4]);
        key.bytes[2 * i + 1] = static_cast<uint8_t>(kHex[digest[i] & 0xF]);
    }
    return key;
}

std::string Md5Hex(std::string_view data) {
    Md5 md5;
    md5.Update(data.data(), data.size());
    const ContentKey key = md5.FinishKey();
    return std::string(key.bytes.begin(), key.bytes.end());
}

}  // namespace merravine
