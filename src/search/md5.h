// MD5 (RFC 1321) through the system's implementation (platform/digest.h), written as
// the 32 lower-case hexadecimal characters that form a content key.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "search/file_record.h"

namespace merravine {

class Md5 {
  public:
    Md5();
    ~Md5();
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;

    /// Starts a new digest.
    void Begin();
    void Update(const void* data, size_t length);
    /// Finishes the digest and returns it as a content key (32 hexadecimal characters).
    ContentKey FinishKey();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace merravine
