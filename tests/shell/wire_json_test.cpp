// The wire form of script values: what the page sends is read as the contract says,
// what native code sends is valid JSON, and file names that are not UTF-8 survive
// the way to the page and back byte for byte.
#include "shell/wire_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

namespace merravine::shell {
namespace {

using SV = ScriptValue;

std::string Json(const SV& value) {
    std::string out;
    AppendJsonValue(out, value);
    return out;
}

// A value as the page sends it: the result of a reply message.
std::optional<SV> ParseJsonValue(std::string_view json) {
    const auto message = ParsePageMessage("{\"reply\":1,\"result\":" + std::string(json) + "}");
    if (!message || message->kind != PageMessage::Kind::kReply || !message->ok) return std::nullopt;
    return message->result;
}

TEST(WireJson, PageValuesReadAsTheContractSays) {
    const struct {
        const char* json;
        SV expected;
    } cases[] = {
        {"7", SV::Int(7)},
        {"-2147483648", SV::Int(-2147483647 - 1)},
        {"2147483648", SV::OtherKind("2147483648")},  // beyond 32 bits: text, no integer reading
        {"5000000000", SV::OtherKind("5000000000")},
        {"1.5", SV::OtherKind("1.5")},
        {"1e21", SV::OtherKind("1e21")},
        {"true", SV::Int(1)},
        {"false", SV::Int(0)},
        {"null", SV()},
        {"\"a\\\"b\\\\c\\n\\u00e9\"", SV::Text("a\"b\\c\n\xC3\xA9")},
        {"\"\\ud83d\\ude00\"", SV::Text("\xF0\x9F\x98\x80")},  // a surrogate pair
        {"\"\\udc80\\udcff\"", SV::Text("\x80\xFF")},          // bytes of a name that is not UTF-8
        {"\"\\ud800x\"", SV::Text("\xEF\xBF\xBDx")},           // any other lone surrogate: U+FFFD
        {"{\"other\":\"[object Window]\"}", SV::OtherKind("[object Window]")},
        {"{}", SV::OtherKind("[object Object]")},
        {"[]", SV::List({})},
        {" [1, [\"x\", null], []] ",
         SV::List({SV::Int(1), SV::List({SV::Text("x"), SV()}), SV::List({})})},
    };
    for (const auto& c : cases) {
        const auto value = ParseJsonValue(c.json);
        ASSERT_TRUE(value.has_value()) << c.json;
        EXPECT_EQ(*value, c.expected) << c.json;
    }
    EXPECT_FALSE(ParseJsonValue("5000000000")->IntReading().has_value());
    EXPECT_EQ(ParseJsonValue("5000000000")->TextForm(), "5000000000");
}

TEST(WireJson, MalformedTextIsRefused) {
    for (const char* text : {"", "[", "[1,]", "[1 2]", "01x", "-", "1.", "\"abc", "\"\\x\"",
                             "\"\\u12\"", "tru", "[1]]", "{\"a\" 1}", "\"tab\there\"", "nul"}) {
        EXPECT_FALSE(ParseJsonValue(text).has_value()) << text;
    }
    std::string deep(200, '[');
    deep += std::string(200, ']');
    EXPECT_FALSE(ParseJsonValue(deep).has_value());
}

TEST(WireJson, NativeValuesAreValidJson) {
    const SV row =
        SV::List({SV::Int(0), SV::Text("/home/ann/Fotos \"2024\"/"), SV::Text("b\xC3\xA4r."),
                  SV::Text("jpg"), SV::Text("5000000000"), SV(), SV::Text("tab\tnl\nnul")});
    const std::string text = Json(row);
    const auto parsed = nlohmann::json::parse(text);
    EXPECT_EQ(parsed[1], "/home/ann/Fotos \"2024\"/");
    EXPECT_EQ(parsed[2], "b\xC3\xA4r.");
    EXPECT_EQ(parsed[4], "5000000000");  // 64-bit sizes travel as text
    EXPECT_TRUE(parsed[5].is_null());    // undefined as null
    EXPECT_EQ(parsed[6], std::string("tab\tnl\nnul"));
    EXPECT_EQ(ParseJsonValue(text), row);
    EXPECT_EQ(Json(SV::OtherKind("1.5")), "\"1.5\"");
}

TEST(WireJson, AnyByteStringSurvivesTheWayThereAndBack) {
    const std::string fixed[] = {
        std::string("\xFF\xFE", 2),
        "\xC3",
        "\xC3(",
        "\xE2\x82",
        "\xED\xA0\x80",      // encoded surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xC0\xAF",          // overlong '/'
        std::string("a\0b", 3),
        "caf\xE9.txt",  // Latin-1 name
    };
    for (const auto& name : fixed) {
        std::string json;
        AppendJsonString(json, name);
        const auto back = ParseJsonValue(json);
        ASSERT_TRUE(back.has_value()) << json;
        EXPECT_EQ(back->StringOrEmpty(), name) << json;
    }
    std::mt19937 random(4);
    for (int round = 0; round < 2000; ++round) {
        std::string name(random() % 24, '\0');
        for (auto& byte : name) byte = static_cast<char>(random() % 256);
        std::string json;
        AppendJsonString(json, name);
        const auto back = ParseJsonValue(json);
        ASSERT_TRUE(back.has_value()) << json;
        ASSERT_EQ(back->StringOrEmpty(), name) << json;
    }
}

TEST(WireJson, MessagesFromThePage) {
    auto call = ParsePageMessage(
        R"({"call":12,"name":"SetSettings","args":[[63,"",1,{"other":"5000000000"}]]})");
    ASSERT_TRUE(call.has_value());
    EXPECT_EQ(call->kind, PageMessage::Kind::kCall);
    EXPECT_EQ(call->id, 12u);
    EXPECT_EQ(call->name, "SetSettings");
    ASSERT_EQ(call->args.size(), 1u);
    EXPECT_EQ(call->args[0].At(3).TextForm(), "5000000000");

    auto reply = ParsePageMessage(R"({"reply":3,"result":[1,"x"]})");
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->kind, PageMessage::Kind::kReply);
    EXPECT_TRUE(reply->ok);
    EXPECT_EQ(reply->result, SV::List({SV::Int(1), SV::Text("x")}));
    EXPECT_TRUE(LooksLikeReply(R"({"reply":3,"result":[1,"x"]})"));

    auto failed = ParsePageMessage(R"({"reply":4,"error":"DuplicateFileToUI is not defined"})");
    ASSERT_TRUE(failed.has_value());
    EXPECT_FALSE(failed->ok);
    EXPECT_EQ(failed->error, "DuplicateFileToUI is not defined");

    auto undefined_result = ParsePageMessage(R"({"reply":5})");
    ASSERT_TRUE(undefined_result.has_value());
    EXPECT_TRUE(undefined_result->result.IsUndefined());

    for (const char* bad :
         {R"({"call":1,"name":"X"})", R"({"call":1,"args":[]})", R"({"name":"X","args":[]})",
          R"({"call":1,"reply":2,"name":"X","args":[]})", R"({"call":-1,"name":"X","args":[]})",
          R"({"call":1,"name":"X","args":{}})", R"({"call":1,"name":7,"args":[]})", R"([1,2])",
          R"({"call":1,"name":"X","args":[]} x)", "{"}) {
        EXPECT_FALSE(ParsePageMessage(bad).has_value()) << bad;
    }
}

TEST(WireJson, MessagesToThePage) {
    EXPECT_EQ(ReplyResultMessage(9, SV()), R"({"reply":9,"result":null})");
    EXPECT_EQ(ReplyErrorMessage(9, "not handled: X"), R"({"reply":9,"error":"not handled: X"})");
    EXPECT_EQ(FunctionCallMessage(2, "DuplicateFileToUI", SV()),
              R"({"call":2,"fn":"DuplicateFileToUI"})");
    EXPECT_EQ(
        FunctionCallMessage(3, "DelFileResultToUI", SV::List({SV::Int(3), SV::Int(2), SV::Int(1)})),
        R"({"call":3,"fn":"DelFileResultToUI","arg":[3,2,1]})");
}

}  // namespace
}  // namespace merravine::shell
