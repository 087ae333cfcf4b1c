// MD5 digests through libcrypto's MD5 functions (declared deprecated by OpenSSL 3
// in favour of EVP; the compatibility level below keeps them available and quiet).
#define OPENSSL_API_COMPAT 10101
#include "search/md5.h"
#include "util/text.h"

#include <openssl/md5.h>

namespace merravine {

struct Md5::State {
    MD5_CTX context;
};

Md5::Md5() : state_(std::make_unique<State>()) { Begin(); }

Md5::~Md5() = default;

void Md5::Begin() { MD5_Init(&state_->context); }

void Md5::Update(const void* data, size_t length) { MD5_Update(&state_->context, data, length); }

ContentKey Md5::FinishKey() {
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5_Final(digest, &state_->context);
    ContentKey key;
    for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) {
        key.bytes[static_cast<size_t>(2 * i)] = static_cast<uint8_t>(kHexLower[digest[i] >> 4]);
        key.bytes[static_cast<size_t>(2 * i + 1)] = static_cast<uint8_t>(kHexLower[digest[i] & 0xF]);
    }
    return key;
}

}  // namespace merravine
