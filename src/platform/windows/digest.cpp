// MD5 and SHA-256 through the system's CNG providers (bcrypt), so the program needs no
// library of its own for them on Windows.
#include "platform/digest.h"

// <windows.h> comes before the headers that build on it.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

namespace merravine::platform {
namespace {

// The providers are opened once and shared; CNG algorithm handles are safe across threads.
BCRYPT_ALG_HANDLE Provider(DigestKind kind) {
    static BCRYPT_ALG_HANDLE md5 = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        BCryptOpenAlgorithmProvider(&handle, BCRYPT_MD5_ALGORITHM, nullptr, 0);
        return handle;
    }();
    static BCRYPT_ALG_HANDLE sha256 = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        return handle;
    }();
    return kind == DigestKind::kMd5 ? md5 : sha256;
}

}  // namespace

struct Digest::State {
    DigestKind kind;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

Digest::Digest(DigestKind kind) : state_(std::make_unique<State>()) {
    state_->kind = kind;
    Begin();
}

Digest::~Digest() {
    if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
}

void Digest::Begin() {
    if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
    state_->hash = nullptr;
    BCryptCreateHash(Provider(state_->kind), &state_->hash, nullptr, 0, nullptr, 0, 0);
}

void Digest::Update(const void* data, size_t length) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (length > 0) {
        const ULONG part = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
        BCryptHashData(state_->hash, bytes, part, 0);
        bytes += part;
        length -= part;
    }
}

void Digest::Finish(uint8_t* out) {
    const ULONG length = state_->kind == DigestKind::kMd5 ? 16 : 32;
    BCryptFinishHash(state_->hash, out, length, 0);
    BCryptDestroyHash(state_->hash);
    state_->hash = nullptr;
    Begin();
}

}  // namespace merravine::platform
