#include "platform/net/ConnectTo.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/net/URLRequest.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using plat::HTTPHeaderFields;
using plat::HTTPURLResponse;
using plat::URL;
using plat::URLRequest;

TEST(URLRequest, Defaults) {
    const URLRequest r(URL::parse("https://h.test/"));
    EXPECT_EQ(r.httpMethod(), "GET");
    EXPECT_EQ(r.timeoutInterval(), 60);
    EXPECT_EQ(r.cachePolicy(), plat::URLRequestCachePolicy::useProtocolCachePolicy);
    EXPECT_TRUE(r.httpShouldHandleCookies());
    EXPECT_TRUE(r.allowsCellularAccess());
    EXPECT_TRUE(r.allHTTPHeaderFields().empty());
    EXPECT_FALSE(r.httpBody());
    EXPECT_FALSE(URLRequest().url());
}

TEST(URLRequest, HeadersAreCaseInsensitiveAndKeepOrder) {
    URLRequest r(URL::parse("https://h.test/"));
    ASSERT_TRUE(r.setValue("a", "X-First"));
    ASSERT_TRUE(r.setValue("text/plain", "Content-Type"));
    ASSERT_TRUE(r.setValue("application/json", "content-type"));
    ASSERT_TRUE(r.addValue("b", "x-first"));
    ASSERT_TRUE(r.addValue("c", "X-Last"));
    EXPECT_EQ(r.value("CONTENT-TYPE"), "application/json");
    EXPECT_EQ(r.value("X-FIRST"), "a, b");
    const std::vector<HTTPHeaderFields::Field> expected{
        {"X-First", "a, b"}, {"Content-Type", "application/json"}, {"X-Last", "c"}};
    EXPECT_EQ(r.allHTTPHeaderFields().fields(), expected);
    ASSERT_TRUE(r.setValue(std::nullopt, "x-first"));
    EXPECT_FALSE(r.value("X-First"));
    EXPECT_EQ(r.allHTTPHeaderFields().size(), 2u);
}

TEST(URLRequest, RefusesHeaderTextThatWouldSplitTheRequest) {
    const std::string unsafe[] = {"a\rb", "a\nb", std::string("a\0b", 3), "v\r\nX-Injected: 1"};
    URLRequest r(URL::parse("https://h.test/"));
    ASSERT_TRUE(r.setValue("ok", "X-Keep"));
    const auto before = r.allHTTPHeaderFields();
    for (const auto& text : unsafe) {
        EXPECT_FALSE(r.setValue(text, "X-Keep"));
        EXPECT_FALSE(r.setValue("v", text));
        EXPECT_FALSE(r.addValue(text, "X-Keep"));
        EXPECT_FALSE(r.addValue("v", text));
        EXPECT_FALSE(r.setAllHTTPHeaderFields(HTTPHeaderFields{{"A", "1"}, {"B", text}}));
        EXPECT_EQ(r.allHTTPHeaderFields(), before);
    }
    EXPECT_FALSE(r.setValue("v", ""));
}

TEST(URLRequest, BodyAndStreamExcludeEachOther) {
    URLRequest r;
    r.setHTTPBody(std::vector<std::uint8_t>{1, 2});
    r.setHTTPBodyStream(std::shared_ptr<plat::InputStream>());
    EXPECT_TRUE(r.httpBody());
    r.setHTTPMethod("POST");
    EXPECT_EQ(r.httpMethod(), "POST");
    r.setHTTPMethod(std::nullopt);
    EXPECT_EQ(r.httpMethod(), "GET");
}

// Copies share their fields until one of them changes: a change must reach only the copy it was made on,
// whichever side makes it, and a default request must start out as the defaults however others changed.
TEST(URLRequest, ACopyAndItsOriginalChangeApart) {
    URLRequest original(URL::parse("https://h.test/a"));
    ASSERT_TRUE(original.setValue("1", "X-Kept"));
    original.setHTTPBody(std::vector<std::uint8_t>{'x'});

    URLRequest copy = original;
    copy.setURL(URL::parse("https://h.test/b"));
    copy.setHTTPMethod("POST");
    ASSERT_TRUE(copy.setValue("2", "X-Kept"));
    ASSERT_TRUE(copy.addValue("y", "X-Added"));
    copy.setHTTPBody(std::vector<std::uint8_t>{'y', 'z'});
    copy.setTimeoutInterval(5);
    EXPECT_EQ(original.url()->absoluteString(), "https://h.test/a");
    EXPECT_EQ(original.httpMethod(), "GET");
    EXPECT_EQ(original.value("X-Kept"), "1");
    EXPECT_FALSE(original.value("X-Added"));
    EXPECT_EQ(original.httpBody()->size(), 1u);
    EXPECT_EQ(original.timeoutInterval(), 60);

    const URLRequest before = copy;
    copy.setHTTPShouldHandleCookies(false);
    original.setCachePolicy(plat::URLRequestCachePolicy::reloadIgnoringLocalCacheData);
    EXPECT_TRUE(before.httpShouldHandleCookies());
    EXPECT_EQ(before.value("X-Kept"), "2");
    EXPECT_EQ(copy.cachePolicy(), plat::URLRequestCachePolicy::useProtocolCachePolicy);

    URLRequest empty;
    empty.setAllowsCellularAccess(false);
    EXPECT_TRUE(URLRequest().allowsCellularAccess());
    EXPECT_FALSE(URLRequest().url());
}

// The map is parsed once and kept for every request after: a change of the variable must still show at the
// next request, also a removal.
TEST(ConnectToMap, FollowsEveryChangeOfTheVariable) {
    using Entries = std::vector<std::string>;
    plat::sim::Network::setResolve("a.test:443:127.0.0.1:8443");
    EXPECT_EQ(plat::ConnectTo::entries(), Entries{"a.test:443:127.0.0.1:8443"});
    EXPECT_EQ(plat::ConnectTo::entries(), Entries{"a.test:443:127.0.0.1:8443"});
    plat::sim::Network::setResolve("b.test:80:127.0.0.1:8080, not-an-entry");
    EXPECT_EQ(plat::ConnectTo::entries(), Entries{"b.test:80:127.0.0.1:8080"});
    plat::sim::Network::setResolve(std::nullopt);
    EXPECT_TRUE(plat::ConnectTo::entries().empty());
}

TEST(HTTPURLResponse, DerivesFromHeaders) {
    const auto url = *URL::parse("https://h.test/files/report.pdf?x=1");
    const HTTPURLResponse r(url, 200, "HTTP/1.1",
                            {{"Content-Type", "Text/HTML; Charset=\"utf-8\""},
                             {"Content-Length", "1234"},
                             {"Set-Cookie", "a=1"},
                             {"set-cookie", "b=2"}});
    EXPECT_EQ(r.statusCode(), 200);
    EXPECT_EQ(r.mimeType(), "text/html");
    EXPECT_EQ(r.textEncodingName(), "utf-8");
    EXPECT_EQ(r.expectedContentLength(), 1234);
    EXPECT_EQ(r.value("SET-COOKIE"), "a=1, b=2");
    EXPECT_EQ(r.suggestedFilename(), "report.pdf");

    const HTTPURLResponse bare(*URL::parse("https://h.test/"), 204, "HTTP/1.1", HTTPHeaderFields{});
    EXPECT_EQ(bare.expectedContentLength(), -1);
    EXPECT_FALSE(bare.mimeType());
    EXPECT_FALSE(bare.textEncodingName());
    EXPECT_EQ(bare.suggestedFilename(), "Unknown");
}

TEST(HTTPURLResponse, ContentLengthAndFilenameEdgeCases) {
    const auto url = *URL::parse("https://h.test/dl");
    const std::pair<const char*, std::int64_t> lengths[] = {
        {"12", 12}, {" 7 ", 7}, {"-1", -1}, {"1x", -1}, {"", -1}};
    for (const auto& [text, expected] : lengths) {
        EXPECT_EQ(HTTPURLResponse(url, 200, "HTTP/1.1", {{"Content-Length", text}}).expectedContentLength(),
                  expected)
            << text;
    }
    const std::pair<const char*, const char*> names[] = {
        {"attachment; filename=\"a;b.txt\"", "a;b.txt"},
        {"attachment; filename=plain.bin", "plain.bin"},
        {"attachment; filename=\"../../etc/passwd\"", "passwd"},
        {"attachment; filename=\"..\"", "dl"},
        {"inline", "dl"},
    };
    for (const auto& [disposition, expected] : names) {
        EXPECT_EQ(
            HTTPURLResponse(url, 200, "HTTP/1.1", {{"Content-Disposition", disposition}}).suggestedFilename(),
            expected)
            << disposition;
    }
}
