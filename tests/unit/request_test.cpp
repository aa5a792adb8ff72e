#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "common/json_text.h"
#include "ipc/request.h"

namespace qel::ipc {
namespace {

using nlohmann::json;

std::string nested(std::size_t levels) {
    return std::string(levels, '[') + std::string(levels, ']');
}

struct Decoded {
    std::string text;
    const char* id;  // compact text of the id; nullptr: none
    const char* method;
    const char* params;  // compact text
};

void expect_decodes(const Decoded& c) {
    const Result<Request> r = decode_request(c.text);
    ASSERT_TRUE(r.ok()) << c.text.substr(0, 80) << " -> " << r.error().full();
    if (c.id) {
        ASSERT_TRUE(r.value().id.has_value()) << c.text;
        EXPECT_EQ(to_compact(*r.value().id), c.id) << c.text;
    } else {
        EXPECT_FALSE(r.value().id.has_value()) << c.text;
    }
    EXPECT_EQ(r.value().method, c.method) << c.text;
    EXPECT_EQ(to_compact(r.value().params), c.params) << c.text;
}

struct Refused {
    std::string text;
    std::string error;
};

void expect_refused(const Refused& c) {
    const Result<Request> r = decode_request(c.text);
    ASSERT_FALSE(r.ok()) << c.text.substr(0, 80);
    EXPECT_EQ(r.error().chain().size(), 1u);
    EXPECT_EQ(r.error().full(), c.error) << c.text.substr(0, 80);
}

TEST(DecodeRequest, ObjectForm) {
    const Decoded cases[] = {
        {R"({"method":"ping"})", nullptr, "ping", "null"},
        {R"({"id":7,"method":"ping"})", "7", "ping", "null"},
        {R"({"id":null,"method":"ping"})", nullptr, "ping", "null"},
        {R"({"params":{"token":"t"},"method":"auth","id":"a"})", "\"a\"", "auth",
         R"({"token":"t"})"},
        {R"({"method":"x","params":null})", nullptr, "x", "null"},
        {R"({"method":"x","params":[1,{"b":2,"a":1}]})", nullptr, "x", R"([1,{"a":1,"b":2}])"},
        {R"({"method":"x","params":{"a":1,"a":[2]}})", nullptr, "x", R"({"a":[2]})"},
        {R"({"ID":1,"Method":5,"params ":{},"method":"ping"})", nullptr, "ping", "null"},
        {R"({"x":[1,{"y":[]},"z"],"method":"ping","w":{"method":1,"id":2},"v":null})", nullptr,
         "ping", "null"},
        {R"({ "id" : 1 , "method" : "ping" }  )", "1", "ping", "null"},
        {"{\"method\":\"ping\"}\t\r\n ", nullptr, "ping", "null"},
        {R"({"method":""})", nullptr, "", "null"},
    };
    for (const Decoded& c : cases)
        expect_decodes(c);
}

TEST(DecodeRequest, ArrayForm) {
    const Decoded cases[] = {
        {R"(["x","ping"])", "\"x\"", "ping", "null"},
        {R"([null,"ping",{"a":1}])", nullptr, "ping", R"({"a":1})"},
        {R"([1,"ping",null])", "1", "ping", "null"},
        {R"([ [1] , "ping" , 2 ] )", "[1]", "ping", "2"},
        {R"([{"b":1,"a":2},"m",[[]]])", R"({"a":2,"b":1})", "m", "[[]]"},
    };
    for (const Decoded& c : cases)
        expect_decodes(c);
}

TEST(DecodeRequest, ValuesOfIdAndParams) {
    const Decoded cases[] = {
        {R"({"id":-0,"method":"m"})", "-0.0", "m", "null"},
        {R"({"id":1.50,"method":"m"})", "1.5", "m", "null"},
        {R"({"id":1e2,"method":"m"})", "100.0", "m", "null"},
        {R"({"id":0,"method":"m"})", "0", "m", "null"},
        {R"({"id":-7,"method":"m"})", "-7", "m", "null"},
        {R"({"id":18446744073709551615,"method":"m"})", "18446744073709551615", "m", "null"},
        {R"({"id":18446744073709551616,"method":"m"})", "1.8446744073709552e+19", "m", "null"},
        {R"({"id":-9223372036854775808,"method":"m"})", "-9223372036854775808", "m", "null"},
        {R"({"id":-9223372036854775809,"method":"m"})", "-9.223372036854776e+18", "m", "null"},
        {R"({"id":"a\"b\\c\/d\u00e9\ud83d\ude00\n\u0001","method":"m\u0041"})",
         "\"a\\\"b\\\\c/d\xc3\xa9\xf0\x9f\x98\x80\\n\\u0001\"", "mA", "null"},
        {R"({"method":"m","params":[true,false,null,"",{}]})", nullptr, "m",
         R"([true,false,null,"",{}])"},
    };
    for (const Decoded& c : cases)
        expect_decodes(c);

    // The compact text alone does not show the kinds of number.
    struct Kind {
        const char* id;
        json::value_t type;
    };
    const Kind kinds[] = {
        {"5", json::value_t::number_unsigned},
        {"-5", json::value_t::number_integer},
        {"-0", json::value_t::number_float},
        {"5.0", json::value_t::number_float},
        {"18446744073709551616", json::value_t::number_float},
    };
    for (const Kind& k : kinds) {
        const auto r = decode_request(std::string(R"({"method":"m","id":)") + k.id + "}");
        ASSERT_TRUE(r.ok()) << k.id;
        EXPECT_EQ(r.value().id->type(), k.type) << k.id;
    }
}

TEST(DecodeRequest, StructureErrors) {
    const Refused cases[] = {
        {R"({"id":1})", "missing field `method` at line 1 column 8"},
        {R"({})", "missing field `method` at line 1 column 2"},
        {R"({"method":"ping"}{"method":"ping"})", "trailing characters at line 1 column 18"},
        {R"({"method":"ping"}  x)", "trailing characters at line 1 column 20"},
        {R"([])", "invalid length 1, expected struct Request with 3 elements at line 1 column 2"},
        {R"(["x"])",
         "invalid length 1, expected struct Request with 3 elements at line 1 column 5"},
        {R"([ "x" ])",
         "invalid length 1, expected struct Request with 3 elements at line 1 column 7"},
        {R"(["x","ping",null,4])", "trailing characters at line 1 column 18"},
        {R"(["x","ping",null, tru])", "trailing characters at line 1 column 19"},
        {R"(["x","ping",[1],{}])", "trailing characters at line 1 column 17"},
        {R"(["x","ping",null,])", "trailing comma at line 1 column 18"},
        {R"(["x","ping",5 , ])", "trailing comma at line 1 column 17"},
        {R"(["x","ping"]])", "trailing characters at line 1 column 13"},
        {R"({"method":"ping","method":"ping"})", "duplicate field `method` at line 1 column 25"},
        {R"({"id":null,"id":null,"method":"a"})", "duplicate field `id` at line 1 column 15"},
        {R"({"id":1,"id":2,"method":"x"})", "duplicate field `id` at line 1 column 12"},
        {R"({"params":1,"method":"a","params":2})", "duplicate field `params` at line 1 column 33"},
        {R"({"params":null,"params":null,"method":"a"})",
         "duplicate field `params` at line 1 column 23"},
    };
    for (const Refused& c : cases)
        expect_refused(c);
}

TEST(DecodeRequest, TypeErrors) {
    const Refused cases[] = {
        {R"({"method":5})", "invalid type: integer `5`, expected a string at line 1 column 11"},
        {R"({"method":-12 })",
         "invalid type: integer `-12`, expected a string at line 1 column 13"},
        {R"({"method":7-1})", "invalid type: integer `7`, expected a string at line 1 column 11"},
        {R"({"method":null})", "invalid type: null, expected a string at line 1 column 14"},
        {R"({"method":true})",
         "invalid type: boolean `true`, expected a string at line 1 column 14"},
        {R"({"method":1.5})",
         "invalid type: floating point `1.5`, expected a string at line 1 column 13"},
        {R"({"method":-0})",
         "invalid type: floating point `-0.0`, expected a string at line 1 column 12"},
        {R"({"method":[1,2]})", "invalid type: sequence, expected a string at line 1 column 15"},
        {R"({"method":{"a":1}})", "invalid type: map, expected a string at line 1 column 17"},
        {R"([1,2])", "invalid type: integer `2`, expected a string at line 1 column 4"},
        {R"("x")", "invalid type: string \"x\", expected struct Request at line 1 column 3"},
        {R"("a\"b\n")",
         "invalid type: string \"a\\\"b\\n\", expected struct Request at line 1 column 8"},
        {R"(5)", "invalid type: integer `5`, expected struct Request at line 1 column 1"},
        {R"(12 )", "invalid type: integer `12`, expected struct Request at line 1 column 2"},
        {R"(-3)", "invalid type: integer `-3`, expected struct Request at line 1 column 2"},
        {R"(1.5)",
         "invalid type: floating point `1.5`, expected struct Request at line 1 column 3"},
        {R"(1e16)",
         "invalid type: floating point `1e+16`, expected struct Request at line 1 column 4"},
        {R"(-0)",
         "invalid type: floating point `-0.0`, expected struct Request at line 1 column 2"},
        {R"(true)", "invalid type: boolean `true`, expected struct Request at line 1 column 4"},
        {R"(false)", "invalid type: boolean `false`, expected struct Request at line 1 column 5"},
        {R"(null)", "invalid type: null, expected struct Request at line 1 column 4"},
    };
    for (const Refused& c : cases)
        expect_refused(c);
}

TEST(DecodeRequest, NotJson) {
    const Refused cases[] = {
        {"x",
         "syntax error while parsing value - invalid literal; last read: 'x' at line 1 column 1"},
        {R"({"method":"ping")",
         "syntax error while parsing object - unexpected end of input; expected '}' at line 1 "
         "column 17"},
        {R"({method:1})",
         "syntax error while parsing object key - invalid literal; last read: '{m'; expected "
         "string literal at line 1 column 2"},
        {R"({"method":"ping",})",
         "syntax error while parsing object key - unexpected '}'; expected string literal at "
         "line 1 column 18"},
        {R"({"id":1e400,"method":"m"})", "number overflow parsing '1e400' at line 1 column 11"},
        {R"({"x":[[[}]]],"method":"m"})",
         "syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal at "
         "line 1 column 9"},
    };
    for (const Refused& c : cases)
        expect_refused(c);
}

TEST(DecodeRequest, NestingLimit) {
    const std::string ok127_id = R"({"id":)" + nested(126) + R"(,"method":"m"})";
    const std::string ok127_params = R"({"method":"m","params":)" + nested(126) + "}";
    const std::string ok127_array = "[" + nested(126) + R"(,"m"])";
    for (const std::string& text : {ok127_id, ok127_params, ok127_array}) {
        const auto r = decode_request(text);
        EXPECT_TRUE(r.ok()) << r.error().full();
    }
    // The 128th level opens at the 127th bracket inside the member: 6, 23 and 1 bytes in.
    const Refused refused[] = {
        {R"({"id":)" + nested(127) + R"(,"method":"m"})",
         "recursion limit exceeded at line 1 column 133"},
        {R"({"method":"m","params":)" + nested(127) + "}",
         "recursion limit exceeded at line 1 column 150"},
        {R"({"method":"m","params":{"a":)" + nested(126) + "}}",
         "recursion limit exceeded at line 1 column 154"},
        {"[" + nested(127) + R"(,"m"])", "recursion limit exceeded at line 1 column 128"},
        {R"({"method":)" + nested(127) + "}", "recursion limit exceeded at line 1 column 137"},
    };
    for (const Refused& c : refused)
        expect_refused(c);
}

TEST(DecodeRequest, SkippedMembersHaveNoDepthLimit) {
    const std::string deep = nested(1'000'000);
    expect_decodes({R"({"x":)" + deep + R"(,"method":"ping","id":1})", "1", "ping", "null"});
    expect_decodes({R"({"method":"ping","y":[{"z":)" + deep + "}]}", nullptr, "ping", "null"});
}

TEST(EncodeResponse, MemberOrderAndOmissions) {
    struct Case {
        Response r;
        const char* line;
    };
    const Case cases[] = {
        {{json(7), false, std::nullopt, "unauthorized: must call 'auth' first"},
         R"({"id":7,"ok":false,"error":"unauthorized: must call 'auth' first"})"},
        {{std::nullopt, true, json("pong"), std::nullopt}, R"({"ok":true,"result":"pong"})"},
        {{std::nullopt, false, std::nullopt, std::nullopt}, R"({"ok":false})"},
        {{json("a"), true, json::parse(R"({"b":[1],"a":null})"), std::nullopt},
         R"({"id":"a","ok":true,"result":{"a":null,"b":[1]}})"},
        {{std::nullopt, false, std::nullopt, "invalid json: \"x\"\n\xe2\x80\x94"},
         "{\"ok\":false,\"error\":\"invalid json: \\\"x\\\"\\n\xe2\x80\x94\"}"},
        {{json(2.50), true, json(true), std::nullopt}, R"({"id":2.5,"ok":true,"result":true})"},
        {{json(3), true, std::nullopt, std::nullopt, R"({"lines":["a"]})"},
         R"({"id":3,"ok":true,"result":{"lines":["a"]}})"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(encode_response_line(c.r), std::string(c.line) + "\n");
}

TEST(EncodeResponse, DecodedIdsComeBackInCompactForm) {
    struct Case {
        const char* id;     // as the request wrote it
        const char* reply;  // nullptr: the reply has no id
    };
    const Case cases[] = {
        {R"({"b":1,"a":2})", R"({"id":{"a":2,"b":1},"ok":true,"result":"pong"})"},
        {"1.50", R"({"id":1.5,"ok":true,"result":"pong"})"},
        {"null", R"({"ok":true,"result":"pong"})"},
        {"-0", R"({"id":-0.0,"ok":true,"result":"pong"})"},
        {"1E+2", R"({"id":100.0,"ok":true,"result":"pong"})"},
        {"18446744073709551615", R"({"id":18446744073709551615,"ok":true,"result":"pong"})"},
        {R"("\u00e9\n\/")", "{\"id\":\"\xc3\xa9\\n/\",\"ok\":true,\"result\":\"pong\"}"},
        {R"([ 1 , "a" , null , true , { } ])",
         R"({"id":[1,"a",null,true,{}],"ok":true,"result":"pong"})"},
    };
    for (const Case& c : cases) {
        const auto req = decode_request(std::string(R"({"method":"ping","id":)") + c.id + "}");
        ASSERT_TRUE(req.ok()) << c.id;
        const Response resp{req.value().id, true, json("pong"), std::nullopt};
        EXPECT_EQ(encode_response_line(resp), std::string(c.reply) + "\n") << c.id;
    }
}

}  // namespace
}  // namespace qel::ipc
