#include <gtest/gtest.h>

#include <unordered_set>

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/Source/RequestBuilding.hpp"
#include "platform/dispatch/Backend.hpp"

namespace Zavorida {
namespace {

TEST(HTTPMethod, TokensRoundTripAndOnlyExactTokensParse) {
    const std::vector<std::pair<HTTPMethod, std::string>> all = {
        {HTTPMethod::options, "OPTIONS"}, {HTTPMethod::get, "GET"},     {HTTPMethod::head, "HEAD"},
        {HTTPMethod::post, "POST"},       {HTTPMethod::put, "PUT"},     {HTTPMethod::patch, "PATCH"},
        {HTTPMethod::delete_, "DELETE"},  {HTTPMethod::trace, "TRACE"}, {HTTPMethod::connect, "CONNECT"}};
    std::unordered_set<HTTPMethod> seen;
    for (const auto& [method, token] : all) {
        EXPECT_EQ(method.rawValue(), token);
        EXPECT_EQ(HTTPMethod::fromRawValue(token), method);
        seen.insert(method);
    }
    EXPECT_EQ(seen.size(), 9u);
    for (const char* notAMethod : {"get", "Get", " GET", "GET ", "", "FETCH"}) {
        EXPECT_FALSE(HTTPMethod::fromRawValue(notAMethod).has_value()) << notAMethod;
    }
}

TEST(URLConvertible, ConvertsStringsURLsAndComponents) {
    EXPECT_EQ(URLConvertible("https://h.test/a?b=1").makeURL().absoluteString(), "https://h.test/a?b=1");
    EXPECT_EQ(URLConvertible(*plat::URL::parse("https://h.test/x")).makeURL().absoluteString(),
              "https://h.test/x");
    auto components = plat::URLComponents::parse("https://h.test/c");
    ASSERT_TRUE(components.has_value());
    EXPECT_EQ(URLConvertible(*components).makeURL().absoluteString(), "https://h.test/c");
}

TEST(URLConvertible, RejectedValuesThrowInvalidURLCarryingThemUnchanged) {
    try {
        URLConvertible(" https://h.test/a b").makeURL();
        FAIL() << "expected invalidURL";
    } catch (const ZVError& e) {
        ASSERT_TRUE(e.isInvalidURL());
        EXPECT_EQ(*e.invalidURLValue()->stringValue(), " https://h.test/a b");
        EXPECT_EQ(e.errorDescription(), "URL is not valid:  https://h.test/a b");
    }
    plat::URLComponents noURL;
    noURL.setHost("h.test");
    noURL.setPath("relative");
    try {
        URLConvertible(noURL).makeURL();
        FAIL() << "expected invalidURL";
    } catch (const ZVError& e) {
        ASSERT_TRUE(e.isInvalidURL());
        EXPECT_NE(e.invalidURLValue()->componentsValue(), nullptr);
    }
}

TEST(URLRequestConvertible, CopiesRequestsAndDropsErrorsOnlyInTheOptionalForm) {
    plat::URLRequest request(plat::URL::parse("https://h.test/"));
    request.setHTTPMethod("PUT");
    URLRequestConvertible convertible(request);
    EXPECT_EQ(convertible.makeURLRequest().httpMethod(), "PUT");
    EXPECT_TRUE(convertible.optionalURLRequest().has_value());

    URLRequestConvertible failing(
        std::function<plat::URLRequest()>([]() -> plat::URLRequest { throw ZVError::invalidURL("x y"); }));
    EXPECT_THROW(failing.makeURLRequest(), ZVError);
    EXPECT_FALSE(failing.optionalURLRequest().has_value());
}

TEST(MakeRequest, SetsMethodCachePolicyTimeoutAndHeaders) {
    auto request =
        makeRequest("https://h.test/p", HTTPMethod::patch, HeaderDictionary{{"X-A", "1"}, {"Accept", "b"}});
    EXPECT_EQ(request.url()->absoluteString(), "https://h.test/p");
    EXPECT_EQ(request.httpMethod(), "PATCH");
    EXPECT_EQ(request.cachePolicy(), plat::URLRequestCachePolicy::useProtocolCachePolicy);
    EXPECT_EQ(request.timeoutInterval(), 60);
    EXPECT_EQ(request.value("x-a"), "1");
    EXPECT_EQ(request.value("Accept"), "b");

    for (const auto& headers :
         {std::optional<HeaderDictionary>(), std::optional<HeaderDictionary>(HeaderDictionary{})}) {
        EXPECT_TRUE(makeRequest("https://h.test/p", HTTPMethod::get, headers).allHTTPHeaderFields().empty());
    }
}

TEST(MakeRequest, AnInvalidURLBuildsNothing) {
    EXPECT_THROW(makeRequest("not a url", HTTPMethod::get), ZVError);
}

TEST(Notifications, NamesAndKeys) {
    EXPECT_STREQ(Notification::Name::Task::didResume, "org.zavorida.notification.name.task.didResume");
    EXPECT_STREQ(Notification::Name::Task::didSuspend, "org.zavorida.notification.name.task.didSuspend");
    EXPECT_STREQ(Notification::Name::Task::didCancel, "org.zavorida.notification.name.task.didCancel");
    EXPECT_STREQ(Notification::Name::Task::didComplete, "org.zavorida.notification.name.task.didComplete");
    EXPECT_STREQ(Notification::Key::task, "org.zavorida.notification.key.task");
    EXPECT_STREQ(Notification::Key::responseData, "org.zavorida.notification.key.responseData");
}

TEST(ExecuteAfterDelay, RunsTheWorkOnTheQueueOnlyOnceTheDelayHasPassed) {
    auto queue = plat::DispatchQueue::makeSerial("test.delay");
    bool ran = false;
    executeAfterDelay(*queue, 1.5, [&] { ran = true; });
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(ran);
    plat::Virtual::advanceBy(1.4);
    EXPECT_FALSE(ran);
    plat::Virtual::advanceBy(0.2);
    EXPECT_TRUE(ran);
}

} // namespace
} // namespace Zavorida
