// Small string holders with a self-checking binary form, and the storage-form
// conversions on a held UTF-16 text.
//
// Serialised forms (all integers 32-bit little-endian, the size counts itself):
//   CMyStdString:  size, the n bytes, 0x00, 'S' 'T' 'R'             (n + 8 bytes)
//   CMyStdWString: size, the n UTF-16LE units, 0x0000, 'W' 'S' 'T' 'R' (2n + 10 bytes)
// A holder may carry an optional lock; nothing creates one, so Lock/Unlock do nothing
// unless EnableLock was called.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace merravine {

class MY_OBJECT {
  public:
    MY_OBJECT() = default;
    MY_OBJECT(const MY_OBJECT&) {}  // a copy gets no lock of its own
    MY_OBJECT& operator=(const MY_OBJECT&) { return *this; }
    virtual ~MY_OBJECT() = default;

    /// Writes the serialised form into `buffer` (SerializedSize() bytes), or into a
    /// new block when `buffer` is null (the caller releases it with delete[]). Returns the buffer.
    virtual uint8_t* Serialize(uint8_t* buffer) const = 0;
    /// Reads a serialised form; returns its total size, or -1 when it is not one of this class.
    virtual int32_t Deserialize(std::span<const uint8_t> buffer) = 0;
    /// The size of the serialised form in bytes.
    virtual int32_t SerializedSize() const = 0;

    /// Enters the holder's lock when it has one; returns 0.
    virtual int32_t Lock();
    /// Leaves the holder's lock when it has one; returns 0.
    virtual int32_t Unlock();
    /// Gives the holder a lock of its own.
    void EnableLock();

  private:
    std::unique_ptr<std::recursive_mutex> lock_;
};

/// Holds one narrow (UTF-8) string.
class CMyStdString : public MY_OBJECT {
  public:
    CMyStdString() = default;
    explicit CMyStdString(std::string text) : text_(std::move(text)) {}
    /// Holds WideToAnsi of `text`; a null text gives an empty holder.
    explicit CMyStdString(const char16_t* text);
    /// Replaces the held text with WideToAnsi of `text`; a null text changes nothing.
    CMyStdString& operator=(const char16_t* text);

    uint8_t* Serialize(uint8_t* buffer) const override;
    int32_t Deserialize(std::span<const uint8_t> buffer) override;
    int32_t SerializedSize() const override;

    const std::string& Text() const { return text_; }

  private:
    std::string text_;
};

/// Holds one UTF-16 string.
class CMyStdWString : public MY_OBJECT {
  public:
    CMyStdWString() = default;
    explicit CMyStdWString(std::u16string text) : text_(std::move(text)) {}

    /// Replaces the held text with AnsiToWide of a non-null narrow text.
    void Assign(const char* text);
    /// Replaces the held text by its storage form (Base64 of its UTF-16LE units).
    void ToBase64();
    /// Replaces a held storage form by the text it encodes; a text whose length is
    /// not a multiple of 4 stays unchanged, and an odd last decoded byte is dropped.
    void FromBase64();

    uint8_t* Serialize(uint8_t* buffer) const override;
    int32_t Deserialize(std::span<const uint8_t> buffer) override;
    int32_t SerializedSize() const override;

    const std::u16string& Text() const { return text_; }

  private:
    std::u16string text_;
};

}  // namespace merravine
