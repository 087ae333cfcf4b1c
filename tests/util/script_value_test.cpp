#include "util/script_value.h"

#include <gtest/gtest.h>

namespace merravine {
namespace {

TEST(ScriptValue, ReadingsOfEachKind) {
    EXPECT_EQ(ScriptValue::Int(-7).IntReading(), -7);
    EXPECT_FALSE(ScriptValue::Text("12").IntReading().has_value());
    EXPECT_FALSE(ScriptValue().IntReading().has_value());
    EXPECT_FALSE(ScriptValue::OtherKind("1.5").IntReading().has_value());

    EXPECT_EQ(ScriptValue::Int(42).TextForm(), "42");
    EXPECT_EQ(ScriptValue::OtherKind("5000000000").TextForm(), "5000000000");
    EXPECT_EQ(ScriptValue().TextForm(), "undefined");
    EXPECT_EQ(ScriptValue::List({ScriptValue::Int(1), ScriptValue::Text("a")}).TextForm(), "1,a");
}

TEST(ScriptValue, AppendingToUndefinedMakesAnArray) {
    ScriptValue value;
    EXPECT_EQ(value.Count(), 0u);
    value.Append(ScriptValue::Text("x"));
    ASSERT_TRUE(value.IsArray());
    EXPECT_EQ(value.Count(), 1u);
    EXPECT_EQ(value.At(0).StringOrEmpty(), "x");
    EXPECT_TRUE(value.At(5).IsUndefined());

    ScriptValue number = ScriptValue::Int(3);
    number.Append(ScriptValue::Int(4));  // not an array: nothing changes
    EXPECT_EQ(number, ScriptValue::Int(3));
}

}  // namespace
}  // namespace merravine
