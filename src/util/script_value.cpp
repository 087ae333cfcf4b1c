#include "util/script_value.h"

namespace merravine {

namespace {
const ScriptValue kUndefined;
const std::string kEmpty;
const ScriptValue::Array kNoElements;
}  // namespace

std::optional<int32_t> ScriptValue::IntReading() const {
    if (const auto* value = std::get_if<int32_t>(&value_)) return *value;
    return std::nullopt;
}

std::string ScriptValue::TextForm() const {
    if (const auto* text = std::get_if<std::string>(&value_)) return *text;
    if (const auto* value = std::get_if<int32_t>(&value_)) return std::to_string(*value);
    if (const auto* other = std::get_if<Other>(&value_)) return other->text;
    if (const auto* items = std::get_if<Array>(&value_)) {
        std::string joined;
        for (size_t i = 0; i < items->size(); ++i) {
            if (i > 0) joined += ',';
            joined += (*items)[i].TextForm();
        }
        return joined;
    }
    return "undefined";
}

const std::string& ScriptValue::StringOrEmpty() const {
    if (const auto* text = std::get_if<std::string>(&value_)) return *text;
    return kEmpty;
}

size_t ScriptValue::Count() const {
    if (const auto* items = std::get_if<Array>(&value_)) return items->size();
    return 0;
}

const ScriptValue& ScriptValue::At(size_t index) const {
    if (const auto* items = std::get_if<Array>(&value_);
        items != nullptr && index < items->size()) {
        return (*items)[index];
    }
    return kUndefined;
}

void ScriptValue::Append(ScriptValue element) {
    if (IsUndefined()) value_ = Array{};
    if (auto* items = std::get_if<Array>(&value_)) items->push_back(std::move(element));
}

const ScriptValue::Array& ScriptValue::Elements() const {
    if (const auto* items = std::get_if<Array>(&value_)) return *items;
    return kNoElements;
}

}  // namespace merravine
