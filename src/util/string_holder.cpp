// The string holders' binary forms and storage-form conversions.
#include "util/string_holder.h"

#include <cstring>

#include "util/text.h"

namespace merravine {

namespace {

void PutU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
    return value;
}

// Checks the size field and the trailer; returns the total size or 0 when the
// buffer is not a valid form. The size may not run past the buffer handed in.
uint32_t CheckedSize(std::span<const uint8_t> buffer, uint32_t minimum, std::string_view trailer) {
    if (buffer.size() < 4) return 0;
    const uint32_t total = GetU32(buffer.data());
    if (total < minimum || total > buffer.size()) return 0;
    if (std::memcmp(buffer.data() + total - trailer.size(), trailer.data(), trailer.size()) != 0) {
        return 0;
    }
    return total;
}

constexpr std::string_view kNarrowTrailer("\0STR", 4);
constexpr std::string_view kWideTrailer("\0\0WSTR", 6);

}  // namespace

int32_t MY_OBJECT::Lock() {
    if (lock_) lock_->lock();
    return 0;
}

int32_t MY_OBJECT::Unlock() {
    if (lock_) lock_->unlock();
    return 0;
}

void MY_OBJECT::EnableLock() {
    if (!lock_) lock_ = std::make_unique<std::recursive_mutex>();
}

CMyStdString::CMyStdString(const char16_t* text) {
    if (text != nullptr) text_ = WideToAnsi(text);
}

CMyStdString& CMyStdString::operator=(const char16_t* text) {
    if (text != nullptr) text_ = WideToAnsi(text);
    return *this;
}

int32_t CMyStdString::SerializedSize() const { return static_cast<int32_t>(text_.size() + 8); }

uint8_t* CMyStdString::Serialize(uint8_t* buffer) const {
    const auto total = static_cast<uint32_t>(SerializedSize());
    if (buffer == nullptr) buffer = new uint8_t[total];
    PutU32(buffer, total);
    std::memcpy(buffer + 4, text_.data(), text_.size());
    std::memcpy(buffer + 4 + text_.size(), kNarrowTrailer.data(), kNarrowTrailer.size());
    return buffer;
}

int32_t CMyStdString::Deserialize(std::span<const uint8_t> buffer) {
    const uint32_t total = CheckedSize(buffer, 8, kNarrowTrailer);
    if (total == 0) return -1;
    const char* start = reinterpret_cast<const char*>(buffer.data() + 4);
    // The trailer's zero byte bounds the search for the end of the text.
    text_.assign(start, strnlen(start, total - 4));
    return static_cast<int32_t>(total);
}

void CMyStdWString::Assign(const char* text) {
    if (text != nullptr) text_ = AnsiToWide(text);
}

// Works on the code units themselves, so any UTF-16 text (unpaired surrogates
// included) survives the round trip.
void CMyStdWString::ToBase64() {
    std::string bytes;
    bytes.reserve(text_.size() * 2);
    for (const char16_t unit : text_) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    text_ = AnsiToWide(Base64Encode(bytes));
}

void CMyStdWString::FromBase64() {
    const std::optional<std::string> bytes = Base64Decode(WideToAnsi(text_));
    if (!bytes) return;
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes->size(); i += 2) {  // an odd last byte is dropped
        units += static_cast<char16_t>(static_cast<unsigned char>((*bytes)[i]) |
                                       (static_cast<unsigned char>((*bytes)[i + 1]) << 8));
    }
    text_ = std::move(units);
}

int32_t CMyStdWString::SerializedSize() const {
    return static_cast<int32_t>(text_.size() * 2 + 10);
}

uint8_t* CMyStdWString::Serialize(uint8_t* buffer) const {
    const auto total = static_cast<uint32_t>(SerializedSize());
    if (buffer == nullptr) buffer = new uint8_t[total];
    PutU32(buffer, total);
    uint8_t* at = buffer + 4;
    for (const char16_t unit : text_) {
        *at++ = static_cast<uint8_t>(unit & 0xFF);
        *at++ = static_cast<uint8_t>(unit >> 8);
    }
    std::memcpy(at, kWideTrailer.data(), kWideTrailer.size());
    return buffer;
}

int32_t CMyStdWString::Deserialize(std::span<const uint8_t> buffer) {
    const uint32_t total = CheckedSize(buffer, 10, kWideTrailer);
    if (total == 0) return -1;
    std::u16string text;
    for (uint32_t at = 4; at + 1 < total; at += 2) {
        const auto unit = static_cast<char16_t>(buffer[at] | (buffer[at + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    text_ = std::move(text);
    return static_cast<int32_t>(total);
}

}  // namespace merravine
