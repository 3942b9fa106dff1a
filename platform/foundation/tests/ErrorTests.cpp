#include "platform/foundation/Error.hpp"

#include <cstdio>
#include <gtest/gtest.h>

using plat::Dictionary;
using plat::Error;
using plat::Result;
using plat::Value;

TEST(Error, LocalizedDescriptionFallsBackToDomainAndCode) {
    Error plain("D", 260);
    EXPECT_EQ(plain.localizedDescription(), "The operation couldn\u2019t be completed. (D error 260.)");
    Error named(plat::NSURLErrorDomain, -1001,
                Dictionary{{plat::NSLocalizedDescriptionKey, Value("The request timed out, twice.")}});
    EXPECT_EQ(named.localizedDescription(), "The request timed out, twice.");
}

TEST(Error, KnownCodesDescribeThemselvesAsTheDeviceDoes) {
    const auto withPath = [](int64_t code, const char* path) {
        return Error(plat::NSCocoaErrorDomain, code, Dictionary{{plat::NSFilePathErrorKey, Value(path)}});
    };
    const auto failing = [](int64_t code, const char* url) {
        return Error(plat::NSURLErrorDomain, code,
                     Dictionary{{plat::NSURLErrorFailingURLStringErrorKey, Value(url)}});
    };
    struct Case {
        Error error;
        std::string description;
        std::string display;
    };
    const Case cases[] = {
        {withPath(260, "/home/ada/demo.txt"),
         "The file \u201cdemo.txt\u201d couldn\u2019t be opened because there is no such file.",
         "(NSCocoaErrorDomain 260, /home/ada/demo.txt)"},
        {Error(plat::NSCocoaErrorDomain, 260),
         "The file couldn\u2019t be opened because it doesn\u2019t exist.", "(NSCocoaErrorDomain 260)"},
        {withPath(516, "/tmp/out/a.plist"),
         "The file \u201ca.plist\u201d couldn\u2019t be saved in the folder \u201cout\u201d because a file "
         "with "
         "the same name already exists.",
         "(NSCocoaErrorDomain 516, /tmp/out/a.plist)"},
        {withPath(257, "/root/"),
         "The file \u201croot\u201d couldn\u2019t be opened because you don\u2019t "
         "have permission to view it.",
         "(NSCocoaErrorDomain 257, /root/)"},
        {Error::propertyListReadCorrupt("Unexpected end of input"),
         "The data couldn\u2019t be read because it isn\u2019t in the correct format.",
         "(NSCocoaErrorDomain 3840; Unexpected end of input)"},
        {failing(-1003, "https://nowhere.example.test/a"),
         "A server with the specified hostname could not be found.", "(NSURLErrorDomain -1003)"},
        {failing(-1202, "https://user@portal.example.test:8443/login"),
         "The certificate for this server is invalid. You might be connecting to a server that is pretending "
         "to be \u201cportal.example.test\u201d which could put your confidential information at risk.",
         "(NSURLErrorDomain -1202)"},
        {failing(-999, "https://portal.example.test/"), "cancelled", "(NSURLErrorDomain -999)"},
        {failing(-1009, "https://portal.example.test/"), "The Internet connection appears to be offline.",
         "(NSURLErrorDomain -1009)"},
        {Error(plat::NSURLErrorDomain, -1001), "The request timed out.", "(NSURLErrorDomain -1001)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.localizedDescription(), c.description) << c.error.code;
        EXPECT_EQ(c.error.displayText(), c.description + " " + c.display);
    }
    // Codes without a text of their own keep the general one.
    EXPECT_FALSE(Error(plat::NSURLErrorDomain, -4242).standardDescription());
    EXPECT_FALSE(Error(plat::NSPOSIXErrorDomain, 2).standardDescription());
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
