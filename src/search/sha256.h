// SHA-256 through the system's implementation (platform/digest.h), for the content-key
// cache: equality taken from the cache rests on it.
#pragma once

#include <cstddef>
#include <memory>

#include "search/file_record.h"

namespace merravine {

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Begin();
    void Update(const void* data, size_t length);
    /// Finishes the digest: its 32 raw bytes.
    ContentKey Finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace merravine
