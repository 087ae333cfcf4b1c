// MD5 and SHA-256 through libcrypto's own functions (declared deprecated by OpenSSL 3
// in favour of EVP; the compatibility level below keeps them available and quiet).
#define OPENSSL_API_COMPAT 10101
#include "platform/digest.h"

#include <openssl/md5.h>
#include <openssl/sha.h>

namespace merravine::platform {

struct Digest::State {
    DigestKind kind;
    MD5_CTX md5;
    SHA256_CTX sha256;
};

Digest::Digest(DigestKind kind) : state_(std::make_unique<State>()) {
    state_->kind = kind;
    Begin();
}

Digest::~Digest() = default;

void Digest::Begin() {
    if (state_->kind == DigestKind::kMd5) {
        MD5_Init(&state_->md5);
    } else {
        SHA256_Init(&state_->sha256);
    }
}

void Digest::Update(const void* data, size_t length) {
    if (state_->kind == DigestKind::kMd5) {
        MD5_Update(&state_->md5, data, length);
    } else {
        SHA256_Update(&state_->sha256, data, length);
    }
}

void Digest::Finish(uint8_t* out) {
    if (state_->kind == DigestKind::kMd5) {
        MD5_Final(out, &state_->md5);
    } else {
        SHA256_Final(out, &state_->sha256);
    }
}

}  // namespace merravine::platform
