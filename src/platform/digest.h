// Message digests from the system's own implementation: libcrypto's MD5 and SHA-256
// functions on Linux (assembly, and no provider set-up as EVP performs on first use),
// the CNG (bcrypt) providers on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace merravine::platform {

enum class DigestKind { kMd5, kSha256 };

class Digest {
  public:
    explicit Digest(DigestKind kind);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    /// Starts a new digest.
    void Begin();
    void Update(const void* data, size_t length);
    /// Finishes the digest into `out`: 16 bytes for MD5, 32 for SHA-256.
    void Finish(uint8_t* out);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace merravine::platform
