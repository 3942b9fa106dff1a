#include "platform/foundation/Error.hpp"

#include <cstdio>
#include <gtest/gtest.h>

using plat::Dictionary;
using plat::Error;
using plat::Result;
using plat::Value;

TEST(Error, LocalizedDescriptionFallsBackToDomainAndCode) {
    Error plain(plat::NSCocoaErrorDomain, 260);
    EXPECT_EQ(plain.localizedDescription(),
              "The operation couldn\u2019t be completed. (NSCocoaErrorDomain error 260.)");
    Error named(plat::NSURLErrorDomain, -1001,
                Dictionary{{plat::NSLocalizedDescriptionKey, Value("The request timed out.")}});
    EXPECT_EQ(named.localizedDescription(), "The request timed out.");
}

TEST(Error, DescriptionListsUserInfoAndUnderlyingError) {
    EXPECT_EQ(Error("D", 1).description(),
              "Error Domain=D Code=1 \"The operation couldn\u2019t be completed. (D error 1.)\"");
    Error e(plat::NSCocoaErrorDomain, 4,
            Dictionary{{plat::NSFilePathErrorKey, Value("/tmp/x")},
                       {plat::NSLocalizedDescriptionKey, Value("Gone")}},
            std::make_shared<Error>(Error::posix(2)));
    EXPECT_EQ(e.description(), "Error Domain=NSCocoaErrorDomain Code=4 \"Gone\" UserInfo={NSFilePath=/tmp/x, "
                               "NSLocalizedDescription=Gone, "
                               "NSUnderlyingError=Error Domain=NSPOSIXErrorDomain Code=2 \"The operation "
                               "couldn\u2019t be completed. "
                               "(NSPOSIXErrorDomain error 2.)\"}");
    EXPECT_TRUE(e.is(plat::NSCocoaErrorDomain, 4));
    EXPECT_FALSE(e == Error(plat::NSCocoaErrorDomain, 4));
}

TEST(Error, ResultCarriesValueOrError) {
    Result<int> good(5);
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 5);
    EXPECT_THROW((void)good.error(), std::logic_error);

    Result<std::string> bad(Error("D", 7));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().code, 7);
    EXPECT_EQ(bad.valueOr("fallback"), "fallback");
    EXPECT_THROW((void)bad.value(), std::logic_error);

    Result<Value> converted(Dictionary{{"k", Value(1)}}); // converts through Value
    EXPECT_TRUE(converted->isDictionary());

    Result<void> done;
    EXPECT_TRUE(done.ok());
    Result<void> failed(Error("D", 1));
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().domain, "D");
}

TEST(Exception, CarriesNameReasonUserInfoAndStack) {
    try {
        plat::Exception::raise(plat::NSInvalidArgumentException, "bad key", Dictionary{{"key", Value("x")}});
        FAIL() << "raise returned";
    } catch (const plat::Exception& e) {
        EXPECT_EQ(e.name(), plat::NSInvalidArgumentException);
        EXPECT_EQ(e.reason(), "bad key");
        EXPECT_STREQ(e.what(), "NSInvalidArgumentException: bad key");
        EXPECT_EQ(e.userInfo().find("key")->asString(), "x");
        EXPECT_FALSE(e.callStackReturnAddresses().empty());
        auto symbols = e.callStackSymbols();
        EXPECT_EQ(symbols.size(), e.callStackReturnAddresses().size());
    }
}

namespace {
void reportUncaught(const plat::Exception& e) {
    std::fprintf(stderr, "uncaught handler saw %s / %s\n", e.name().c_str(), e.reason().c_str());
}
} // namespace

TEST(ExceptionDeathTest, UncaughtExceptionRunsTheHandlerThenTerminates) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            plat::setUncaughtExceptionHandler(&reportUncaught);
            // Nothing may catch it on the way out, the test framework included.
            []() noexcept { plat::Exception::raise("CustomException", "left the program"); }();
        },
        "uncaught handler saw CustomException / left the program");
    EXPECT_EQ(plat::uncaughtExceptionHandler(), nullptr);
}
