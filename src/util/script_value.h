// The value that crosses between the pages and the native commands.
//
// The pages exchange four kinds of value with native code: 32-bit integers (a
// script boolean reads as 0 or 1), strings, arrays and the undefined value. Any
// other script value (a fraction, a number beyond 32 bits, an object) reaches
// native code only as its plain text form, with no integer reading.
//
// Strings are UTF-8 inside the program. A file name that is not valid UTF-8 is
// carried byte for byte; the transport decides how to put such bytes on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace merravine {

class ScriptValue {
  public:
    using Array = std::vector<ScriptValue>;
    /// A value of a kind native code does not read, kept as its plain text form.
    struct Other {
        std::string text;
        bool operator==(const Other&) const = default;
    };

    /// The undefined value: nothing was written into it.
    ScriptValue() = default;
    static ScriptValue Int(int32_t value) { return ScriptValue(Storage(value)); }
    static ScriptValue Text(std::string text) { return ScriptValue(Storage(std::move(text))); }
    static ScriptValue List(Array items) { return ScriptValue(Storage(std::move(items))); }
    static ScriptValue OtherKind(std::string text) {
        return ScriptValue(Storage(Other{std::move(text)}));
    }

    bool IsUndefined() const { return std::holds_alternative<std::monostate>(value_); }
    bool IsInt() const { return std::holds_alternative<int32_t>(value_); }
    bool IsString() const { return std::holds_alternative<std::string>(value_); }
    bool IsArray() const { return std::holds_alternative<Array>(value_); }
    bool IsOther() const { return std::holds_alternative<Other>(value_); }

    /// The integer reading: present only for an integer value.
    std::optional<int32_t> IntReading() const;
    /// The integer reading, or `fallback` when the value has none.
    int32_t IntOr(int32_t fallback) const { return IntReading().value_or(fallback); }

    /// The plain string form: a string as it is, an integer in decimal, an array
    /// as its elements' forms joined by ",", the undefined value as "undefined".
    std::string TextForm() const;

    /// The string held, or an empty one for any other kind.
    const std::string& StringOrEmpty() const;

    /// Element count: the array's size, 0 for every other kind.
    size_t Count() const;
    /// The n-th element; the undefined value when out of range or not an array.
    const ScriptValue& At(size_t index) const;
    /// Appends an element; appending to the undefined value makes an array.
    void Append(ScriptValue element);

    const Array& Elements() const;
    bool operator==(const ScriptValue&) const = default;

  private:
    using Storage = std::variant<std::monostate, int32_t, std::string, Array, Other>;
    explicit ScriptValue(Storage value) : value_(std::move(value)) {}
    Storage value_;
};

}  // namespace merravine
