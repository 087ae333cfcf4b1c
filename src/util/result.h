// The one way a subsystem boundary reports a failure: a Status (a code and a message a
// person can read) or a Result<T> (a value or the Status of why there is none). Both are
// [[nodiscard]], so a failure cannot be dropped by accident.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace merravine {

/// Why something failed; kOk when it did not.
enum class StatusCode {
    kOk,
    kInvalidArgument,  ///< the caller asked for something that cannot be
    kNotFound,         ///< what was named does not exist
    kBusy,             ///< another job holds what was asked for
    kIoFailed,         ///< the file system or the database refused
    kFailed,           ///< anything else, said in the message
};

class [[nodiscard]] Status {
  public:
    /// Success.
    Status() = default;
    static Status Ok() { return Status(); }
    /// A failure; `code` must not be kOk.
    static Status Failure(StatusCode code, std::string message) {
        assert(code != StatusCode::kOk);
        Status status;
        status.code_ = code;
        status.message_ = std::move(message);
        return status;
    }

    bool IsOk() const { return code_ == StatusCode::kOk; }
    StatusCode Code() const { return code_; }
    /// Empty on success.
    const std::string& Message() const { return message_; }

  private:
    StatusCode code_ = StatusCode::kOk;
    std::string message_;
};

template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    /// A failure; `status` must not be ok.
    Result(Status status) : status_(std::move(status)) {  // NOLINT(google-explicit-constructor)
        assert(!status_.IsOk());
    }

    bool IsOk() const { return value_.has_value(); }
    /// Ok when there is a value.
    const Status& GetStatus() const { return status_; }
    /// The value; only when IsOk().
    T& Value() & { return *value_; }
    const T& Value() const& { return *value_; }
    T&& Value() && { return std::move(*value_); }
    T ValueOr(T fallback) const& { return value_ ? *value_ : std::move(fallback); }

  private:
    std::optional<T> value_;
    Status status_;
};

}  // namespace merravine
