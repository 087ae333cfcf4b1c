// MD5 digests through the platform's digest (the system's implementation), written as
// a content key.
#include "search/md5.h"

#include "platform/digest.h"
#include "util/text.h"

namespace merravine {

struct Md5::State {
    platform::Digest digest{platform::DigestKind::kMd5};
};

Md5::Md5() : state_(std::make_unique<State>()) {}

Md5::~Md5() = default;

void Md5::Begin() { state_->digest.Begin(); }

void Md5::Update(const void* data, size_t length) { state_->digest.Update(data, length); }

ContentKey Md5::FinishKey() {
    constexpr size_t kLength = 16;
    uint8_t digest[kLength];
    state_->digest.Finish(digest);
    ContentKey key;
    for (size_t i = 0; i < kLength; ++i) {
        key.bytes[2 * i] = static_cast<uint8_t>(kHexLower[digest[i] >> 4]);
        key.bytes[2 * i + 1] = static_cast<uint8_t>(kHexLower[digest[i] & 0xF]);
    }
    return key;
}

}  // namespace merravine
