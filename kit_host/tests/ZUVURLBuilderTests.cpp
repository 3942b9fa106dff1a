// The URL builder: parameter joining, skipped null values, escaping of path pieces and query values so that
// no value can add a parameter or leave its piece, and text that is no URL.

#include "kit_host/ZUVURLBuilder.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ZUVURLBuilder, ParametersJoinWithQuestionMarkThenAmpersandAndNullsAreNotCounted) {
    auto b = ZUVURLBuilder::URLWithBase("S");
    b->appendValue(plat::Value(), "skipped");
    b->appendValue(plat::Value(int64_t{3}), "n");
    EXPECT_EQ(b->URLString(), "S?n=3");
    b->appendValue(std::optional<std::string>(), "alsoSkipped");
    b->appendValue(plat::Value("x"), "m");
    b->appendValue(plat::Value(true), "flag");
    EXPECT_EQ(b->URLString(), "S?n=3&m=x&flag=1");
    EXPECT_EQ(b->queryParams(), 3u);

    auto first = ZUVURLBuilder::URLWithBase("https://settings.example.test/a");
    first->appendValue(std::optional<std::string>(), "gone");
    first->appendValue(std::optional<std::string>("1"), "build_version");
    EXPECT_EQ(first->URLString(), "https://settings.example.test/a?build_version=1");
}

TEST(ZUVURLBuilder, EscapingTable) {
    struct Case {
        std::string text;
        std::string pathPiece;
        std::string queryValue;
    };
    const Case cases[] = {
        {"plain-._~", "plain-._~", "plain-._~"},
        {"a b", "a%20b", "a%20b"},
        {"100%", "100%25", "100%25"},
        {"<>\"{}|\\^`[]", "%3C%3E%22%7B%7D%7C%5C%5E%60%5B%5D", "%3C%3E%22%7B%7D%7C%5C%5E%60%5B%5D"},
        {"x&admin=1", "x&admin=1", "x%26admin%3D1"},
        {"a+b", "a+b", "a%2Bb"},
        {"frag#x", "frag%23x", "frag%23x"},
        {"q?r", "q%3Fr", "q%3Fr"},
        {"com.example/app", "com.example/app", "com.example/app"},
        {"ü", "%C3%BC", "%C3%BC"},
        {"line\nbreak", "line%0Abreak", "line%0Abreak"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZUVURLBuilder::escapeString(c.text), c.pathPiece) << c.text;
        EXPECT_EQ(ZUVURLBuilder::escapeQueryValue(c.text), c.queryValue) << c.text;
        auto b = ZUVURLBuilder::URLWithBase("https://h.example.test/");
        b->escapeAndAppendComponent(c.text);
        b->appendValue(plat::Value(c.text), "v");
        auto url = b->URL();
        ASSERT_TRUE(url) << b->URLString();
        EXPECT_EQ(url->query(), "v=" + c.queryValue) << "a value stays one parameter: " << c.text;
        EXPECT_FALSE(url->fragment()) << c.text;
    }
    EXPECT_FALSE(ZUVURLBuilder::escapeString("\xff\xfe"));
}

TEST(ZUVURLBuilder, TextThatIsNoURLGivesNone) {
    EXPECT_FALSE(ZUVURLBuilder::URLWithBase("")->URL());
    auto b = ZUVURLBuilder::URLWithBase("https://h.example.test/");
    b->appendComponent("raw piece with spaces");
    EXPECT_FALSE(b->URL());
    auto escaped = ZUVURLBuilder::URLWithBase("https://h.example.test/");
    escaped->escapeAndAppendComponent("raw piece with spaces");
    ASSERT_TRUE(escaped->URL());
    EXPECT_EQ(escaped->URL()->path(), "/raw piece with spaces");
}

} // namespace
