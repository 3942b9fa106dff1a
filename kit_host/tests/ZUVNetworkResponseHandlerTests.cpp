// Response classification and the client's request headers: the status and URL-error tables, the media
// type match, the error values, "Retry-After" reading (also of hostile text), and the default request.

#include "kit_host/ZUVNetworkOperation.hpp"
#include "kit_host/ZUVNetworkResponseHandler.hpp"

#include "deployment/Deployment.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/Random.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using H = ZUVNetworkResponseHandler;

plat::HTTPURLResponse responseWith(int status, plat::HTTPHeaderFields headers = {}) {
    return plat::HTTPURLResponse(*plat::URL::parse("https://api.example.test/x"), status, "HTTP/1.1", std::move(headers));
}

plat::HTTPHeaderFields fields(std::initializer_list<std::pair<const char*, const char*>> list) {
    plat::HTTPHeaderFields f;
    for (const auto& [k, v] : list)
        f.set(k, v);
    return f;
}

struct Classified {
    bool retry = false;
    std::optional<plat::Error> error;
};

Classified classify(const plat::HTTPURLResponse* response, const std::optional<plat::Error>& transport = std::nullopt,
                    const plat::URLRequest& request = plat::URLRequest(plat::URL::parse("https://api.example.test/x"))) {
    Classified out;
    int calls = 0;
    H::handleCompletedResponse(response, request, transport, [&](bool retry, const std::optional<plat::Error>& e) {
        ++calls;
        out.retry = retry;
        out.error = e;
    });
    EXPECT_EQ(calls, 1);
    return out;
}

TEST(ZUVNetworkResponseHandler, StatusTable) {
    struct Case {
        std::optional<int> status; // none: no response at all
        int type;
        bool retry;
        std::optional<int64_t> code;
    };
    const Case cases[] = {
        {200, 0, false, std::nullopt}, {201, 0, false, std::nullopt}, {202, 0, false, std::nullopt},
        {203, 1, false, -4},           {204, 0, false, std::nullopt}, {304, 0, false, std::nullopt},
        {400, 2, false, -5},           {408, 3, true, -1},            {420, 4, true, -1},
        {429, 4, true, -1},            {431, 2, false, -5},           {500, 3, true, -1},
        {599, 3, true, -1},            {302, 1, false, -4},           {std::nullopt, 1, false, -4},
    };
    for (const auto& c : cases) {
        std::optional<plat::HTTPURLResponse> response;
        if (c.status)
            response.emplace(responseWith(*c.status));
        const plat::HTTPURLResponse* r = response ? &*response : nullptr;
        int typeSeen = -1, statusSeen = -1;
        EXPECT_EQ(H::clientResponseType(r, [&](int t, int s) { typeSeen = t, statusSeen = s; }), c.type);
        EXPECT_EQ(typeSeen, c.type);
        EXPECT_EQ(statusSeen, c.status.value_or(0));
        auto got = classify(r);
        EXPECT_EQ(got.retry, c.retry) << c.status.value_or(0);
        EXPECT_EQ(got.error ? std::optional(got.error->code) : std::nullopt, c.code) << c.status.value_or(0);
        if (got.error) {
            EXPECT_EQ(got.error->domain, "ZUVNetworkError");
        }
    }
}

TEST(ZUVNetworkResponseHandler, URLErrorTable) {
    struct Case {
        const char* domain;
        int64_t code;
        bool retry;
    };
    const Case cases[] = {
        {plat::NSURLErrorDomain, -1202, false}, {plat::NSURLErrorDomain, -1001, true},
        {plat::NSURLErrorDomain, -999, true},   {plat::NSURLErrorDomain, -1102, true},
        {plat::NSURLErrorDomain, -1103, false}, {plat::NSURLErrorDomain, -1000, false},
        {plat::NSURLErrorDomain, -1200, false}, {plat::NSURLErrorDomain, -1206, false},
        {plat::NSURLErrorDomain, -1005, true},  {plat::NSPOSIXErrorDomain, -1001, false},
    };
    const auto ok = responseWith(200);
    for (const auto& c : cases) {
        const plat::Error e(c.domain, c.code);
        EXPECT_EQ(H::retryableURLError(e), c.retry) << c.domain << " " << c.code;
        auto got = classify(&ok, e);
        EXPECT_EQ(got.retry, c.retry);
        ASSERT_TRUE(got.error);
        EXPECT_TRUE(got.error->is(c.domain, c.code)) << "the transport error itself is handed on";
    }
}

TEST(ZUVNetworkResponseHandler, ContentTypeTable) {
    struct Case {
        std::optional<const char*> accept;
        std::optional<const char*> acceptCharset;
        std::optional<const char*> contentType;
        bool matches;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, true},
        {"application/json", "utf-8", "application/json; charset=utf-8", true},
        {"application/json", "utf-8", "application/json;charset=utf-8", true},
        {"application/json", "utf-8", "Application/JSON; Charset=\"UTF-8\"", true},
        {"application/json", "utf-8", "application/json; version=2; charset=utf-8", true},
        {"application/json", "utf-8", "application/json", true},
        {"application/json", std::nullopt, "application/json; charset=latin1", true},
        {"application/json", "utf-8", "application/json; charset=latin1", false},
        {"application/json", "utf-8", "text/html; charset=utf-8", false},
        {"application/json", "utf-8", "application/jsonx", false},
        {"application/json", "utf-8", std::nullopt, false},
        {"application/json", "utf-8", "garbage", false},
    };
    for (const auto& c : cases) {
        plat::URLRequest request(plat::URL::parse("https://api.example.test/x"));
        if (c.accept)
            request.setValue(*c.accept, "Accept");
        if (c.acceptCharset)
            request.setValue(*c.acceptCharset, "Accept-Charset");
        plat::HTTPHeaderFields f;
        if (c.contentType)
            f.set("Content-Type", *c.contentType);
        const auto response = responseWith(200, f);
        EXPECT_EQ(H::contentTypeForResponse(&response, request), c.matches) << c.contentType.value_or("(none)");
        auto got = classify(&response, std::nullopt, request);
        EXPECT_FALSE(got.retry);
        EXPECT_EQ(got.error.has_value(), !c.matches);
        if (got.error) {
            EXPECT_EQ(got.error->code, -4);
            EXPECT_EQ(got.error->userInfoValue("type")->integerValue(), 1) << "a mismatch reads as a failure";
        }
    }
}

TEST(ZUVNetworkResponseHandler, ErrorUserInfoAndCancelReason) {
    const auto withIds = responseWith(404, fields({{"X-Request-Id", "req-1"}, {"Content-Type", "text/plain"}}));
    auto e = classify(&withIds).error;
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, -5);
    EXPECT_EQ(e->userInfo.size(), 4u);
    EXPECT_EQ(e->userInfoValue("type")->integerValue(), 2);
    EXPECT_EQ(e->userInfoValue("status_code")->integerValue(), 404);
    EXPECT_EQ(e->userInfoValue("request_id")->stringValue(), "req-1");
    EXPECT_EQ(e->userInfoValue("content_type")->stringValue(), "text/plain");

    const auto bare = responseWith(500);
    auto b = classify(&bare).error;
    EXPECT_EQ(b->userInfoValue("request_id")->stringValue(), "");
    EXPECT_EQ(b->userInfoValue("content_type")->stringValue(), "");
    EXPECT_FALSE(H::headerForResponse(nullptr, "X-Request-Id"));

    plat::Error cancelled(plat::NSURLErrorDomain, -999,
                          plat::Dictionary{{H::kBackgroundTaskCancelledReasonKey, plat::Value(int64_t{2})}});
    EXPECT_EQ(H::cancelReasonFromURLError(cancelled), 2);
    EXPECT_EQ(H::cancelReasonFromURLError(plat::Error(plat::NSURLErrorDomain, -999)), -1);
    EXPECT_EQ(H::cancelReasonFromURLError(plat::Error(plat::NSURLErrorDomain, -1001, cancelled.userInfo)), -1);
}

TEST(ZUVNetworkResponseHandler, RetryAfterReadsAsTwoUnlessAUsableNumber) {
    struct Case {
        std::optional<const char*> value;
        double seconds;
    };
    const Case cases[] = {
        {std::nullopt, 2}, {"5", 5},       {" 7.5 ", 7.5}, {"0", 0},      {"-3", 2},   {"abc", 2},
        {"inf", 2},        {"nan", 2},     {"1e999", 2},   {"0x10", 0},   {"12abc", 12}, {"", 2},
        {"Wed, 21 Oct 2015 07:28:00 GMT", 2}, {"1e3", 1000}, {".", 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(H::parseRetryAfter(c.value ? std::optional<std::string_view>(*c.value) : std::nullopt), c.seconds)
            << c.value.value_or("(absent)");
    }
    const auto response = responseWith(503, fields({{"Retry-After", "5"}}));
    EXPECT_EQ(H::retryValueForResponse(&response), 5);
    EXPECT_EQ(H::retryValueForResponse(nullptr), 2);
}

TEST(ZUVNetworkResponseHandler, HeaderParsersSurviveRandomText) {
    plat::Random::seed(20261211);
    const std::string alphabet = "abcjson/;=\" \t\\,.-+eE0123456789xX\x01\xff";
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        const uint32_t length = plat::Random::uniform(40);
        for (uint32_t k = 0; k < length; ++k)
            text += alphabet[plat::Random::uniform(static_cast<uint32_t>(alphabet.size()))];
        const double v = H::parseRetryAfter(text);
        EXPECT_TRUE(std::isfinite(v) && v >= 0) << text;
        if (auto media = ZUVMediaType::parse(text)) {
            EXPECT_FALSE(media->type.empty());
            (void)media->parameter("charset");
        }
        plat::URLRequest request(plat::URL::parse("https://api.example.test/x"));
        request.setValue(text, "Accept");
        plat::HTTPHeaderFields f;
        f.set("Content-Type", text);
        const auto response = responseWith(200, f);
        (void)H::contentTypeForResponse(&response, request);
    }
}

TEST(ZUVNetworkOperation, TheDefaultRequestHasTheNineHeadersInOrder) {
    plat::sim::LocaleSettings::setCurrentIdentifier("de_DE");
    EXPECT_FALSE(ZUVNetworkOperation::initWithAPIKey(std::nullopt));
    auto op = ZUVNetworkOperation::initWithAPIKey("key-1");
    ASSERT_TRUE(op);
    const auto request = op->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(*plat::URL::parse("https://api.example.test/s"));
    EXPECT_EQ(request.timeoutInterval(), 10);
    EXPECT_EQ(request.cachePolicy(), plat::URLRequestCachePolicy::reloadIgnoringLocalCacheData);
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& [name, value] : request.allHTTPHeaderFields())
        got.emplace_back(name, value);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"User-Agent", "ro.darazo.rev.ara/1.8.0 (71)"},
        {"Accept-Charset", "utf-8"},
        {"Accept-Language", "de_DE"},
        {"Content-Language", "de_DE"},
        {"X-Vuzidorazav-Developer-Token", std::string(deployment::kKitDeveloperToken)},
        {"X-Vuzidorazav-API-Client-Id", "ro.darazo.rev.ara"},
        {"X-Vuzidorazav-API-Client-Display-Version", "1.8.0"},
        {"X-Vuzidorazav-API-Client-Build-Version", "71"},
        {"X-Vuzidorazav-API-Key", "key-1"},
    };
    EXPECT_EQ(got, expected);
    EXPECT_EQ(deployment::kKitDeveloperToken.size(), 40u);
    EXPECT_EQ(op->mutableRequestWithDefaultHTTPHeadersForURL(*plat::URL::parse("https://a.example.test"), 3).timeoutInterval(), 3);
}

} // namespace
