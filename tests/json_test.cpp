// The JSON events' builder: whatever text or number goes in, valid JSON with
// the same fields comes out.
#include "cli/json.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

TEST(Json, StringsAreEscapedAndAlwaysValidUtf8)
{
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"ARKO Q9", "\"ARKO Q9\""},
        {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
        {"a\nb\tc\rd", R"("a\nb\tc\rd")"},
        {std::string("\x01\x1f", 2), R"("\u0001\u001f")"},
        {std::string("nul\0end", 7), R"("nul\u0000end")"},
        {"USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA", "\"USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA\""},
        {"bad \xFF byte", "\"bad \xEF\xBF\xBD byte\""},             // not UTF-8: U+FFFD
        {"cut \xE3\x82", "\"cut \xEF\xBF\xBD\""},                     // a sequence cut short
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // an encoded surrogate
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JsonString(c.in), c.out) << c.in;
        EXPECT_EQ(JsonObject().Add(c.in, c.in).Text(), "{" + c.out + ":" + c.out + "}");
        EXPECT_TRUE(nlohmann::json::accept(JsonObject().Add("name", c.in).Text())) << c.in;
    }
}

TEST(Json, NumbersNullsAndNesting)
{
    JsonObject object;
    object.Add("event", "row").Add("row", 3).Add("address", std::uint32_t{0xFFFFFFFF});
    object.Add("big", std::numeric_limits<std::int64_t>::min()).Add("seconds", 1.25).Add("rate", 2.0 / 3.0);
    object.Add("nan", std::numeric_limits<double>::quiet_NaN()).Add("inf", std::numeric_limits<double>::infinity());
    object.Add("negZero", -0.0000001).Add("ok", true).AddNull("none");
    object.AddRaw("list", JsonArray().AddRaw("1").AddRaw(JsonObject().Add("a", false).Text()).Text());
    object.AddRaw("empty", JsonArray().Text());
    EXPECT_EQ(object.Text(),
              R"({"event":"row","row":3,"address":4294967295,"big":-9223372036854775808,"seconds":1.25,)"
              R"("rate":0.666667,"nan":null,"inf":null,"negZero":0.0,"ok":true,"none":null,)"
              R"("list":[1,{"a":false}],"empty":[]})");
    EXPECT_EQ(JsonObject().Text(), "{}");
}

}  // namespace
