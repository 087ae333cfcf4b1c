// SHA-256 through libcrypto's SHA256 functions, for the same reason MD5 uses its own:
// no provider set-up, which EVP performs on first use at a cost of about 2 MiB.
#define OPENSSL_API_COMPAT 10101
#include "search/sha256.h"

#include <openssl/sha.h>

namespace merravine {

struct Sha256::State {
    SHA256_CTX context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) { Begin(); }
Sha256::~Sha256() = default;

void Sha256::Begin() { SHA256_Init(&state_->context); }

void Sha256::Update(const void* data, size_t length) {
    SHA256_Update(&state_->context, data, length);
}

ContentKey Sha256::Finish() {
    ContentKey digest;
    SHA256_Final(digest.bytes.data(), &state_->context);
    return digest;
}

}  // namespace merravine
