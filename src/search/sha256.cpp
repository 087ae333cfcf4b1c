// SHA-256 through the platform's digest (the system's implementation).
#include "search/sha256.h"

#include "platform/digest.h"

namespace merravine {

struct Sha256::State {
    platform::Digest digest{platform::DigestKind::kSha256};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;

void Sha256::Begin() { state_->digest.Begin(); }

void Sha256::Update(const void* data, size_t length) { state_->digest.Update(data, length); }

ContentKey Sha256::Finish() {
    ContentKey digest;
    state_->digest.Finish(digest.bytes.data());
    return digest;
}

}  // namespace merravine
