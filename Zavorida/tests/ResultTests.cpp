#include <gtest/gtest.h>

#include <string>

#include "Zavorida/Source/ZVError.hpp"
#include "Zavorida/Source/Result.hpp"

namespace Zavorida {
namespace {

struct TestError : ErrorConformance<TestError> {
    explicit TestError(std::string t) : text(std::move(t)) {}
    std::string text;
    std::string description() const override { return "TestError(" + text + ")"; }
    std::string localizedDescription() const override { return text; }
};

const AnyError kFailure = TestError("boom");

TEST(Result, SuccessAndFailureAnswerConsistently) {
    auto ok = Result<int>::success(7);
    auto bad = Result<int>::failure(kFailure);
    EXPECT_TRUE(ok.isSuccess());
    EXPECT_FALSE(ok.isFailure());
    EXPECT_EQ(ok.value(), 7);
    EXPECT_FALSE(ok.error().has_value());
    EXPECT_TRUE(bad.isFailure());
    EXPECT_FALSE(bad.isSuccess());
    EXPECT_FALSE(bad.value().has_value());
    ASSERT_TRUE(bad.error().has_value());
    EXPECT_TRUE(bad.error()->isSameObject(kFailure));
}

TEST(Result, MapTransformsSuccessesAndPassesTheSameFailureObjectThrough) {
    int calls = 0;
    auto doubled = Result<int>::success(21).map([&](int v) {
        ++calls;
        return std::to_string(v * 2);
    });
    EXPECT_EQ(doubled.value(), "42");
    auto failed = Result<int>::failure(kFailure).map([&](int v) {
        ++calls;
        return std::to_string(v);
    });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(failed.error()->isSameObject(kFailure));
}

TEST(Result, TryMapTurnsAThrownErrorIntoTheFailure) {
    auto r = Result<int>::success(1).tryMap([](int) -> double {
        throw ZVError::responseValidationFailed(
            ZVError::ResponseValidationFailureReason::unacceptableStatusCode(500));
    });
    ASSERT_TRUE(r.isFailure());
    const auto* af = r.error()->as<ZVError>();
    ASSERT_NE(af, nullptr);
    EXPECT_EQ(af->responseStatusCode(), 500);

    bool called = false;
    auto untouched = Result<int>::failure(kFailure).tryMap([&](int v) {
        called = true;
        return v;
    });
    EXPECT_FALSE(called);
    EXPECT_TRUE(untouched.error()->isSameObject(kFailure));
}

TEST(Result, MapErrorReplacesOnlyFailures) {
    bool called = false;
    auto ok = Result<int>::success(3).mapError([&](const AnyError&) {
        called = true;
        return TestError("never");
    });
    EXPECT_FALSE(called);
    EXPECT_EQ(ok.value(), 3);

    auto mapped = Result<int>::failure(kFailure).mapError(
        [](const AnyError& e) { return TestError("wrapped " + e.localizedDescription()); });
    EXPECT_EQ(mapped.error()->description(), "TestError(wrapped boom)");

    auto thrown = Result<int>::failure(kFailure).tryMapError(
        [](const AnyError&) -> TestError { throw TestError("thrown"); });
    EXPECT_EQ(thrown.error()->description(), "TestError(thrown)");
}

TEST(Result, CatchingGetAndPlatformErrors) {
    auto ok = Result<std::string>::catching([] { return std::string("v"); });
    EXPECT_EQ(ok.get(), "v");

    auto platform = Result<int>::catching([]() -> int { throw plat::Error("D", 3); });
    ASSERT_NE(platform.error()->platformError(), nullptr);
    EXPECT_EQ(platform.error()->platformError()->code, 3);
    EXPECT_THROW(platform.get(), PlatformError);

    auto failed = Result<int>::failure(kFailure);
    try {
        failed.get();
        FAIL() << "get() of a failure must throw";
    } catch (const TestError& e) {
        EXPECT_EQ(e.text, "boom");
    }
}

TEST(Result, InspectorsRunOnlyForTheirCase) {
    int value = 0, errors = 0, successes = 0, failures = 0;
    auto count = [&](const Result<int>& r) {
        r.inspectValue([&](int v) { value += v; })
            .inspectError([&](const AnyError&) { ++errors; })
            .onSuccess([&] { ++successes; })
            .onFailure([&] { ++failures; });
    };
    count(Result<int>::success(5));
    count(Result<int>::failure(kFailure));
    EXPECT_EQ(value, 5);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(failures, 1);
}

TEST(Result, Descriptions) {
    EXPECT_EQ(Result<std::string>::success("payload").description(), "SUCCESS");
    EXPECT_EQ(Result<std::string>::failure(kFailure).description(), "FAILURE");
    EXPECT_EQ(Result<std::string>::success("payload").debugDescription(), "SUCCESS: payload");
    EXPECT_EQ(Result<double>::success(1).debugDescription(), "SUCCESS: 1.0");
    EXPECT_EQ(Result<int>::failure(kFailure).debugDescription(), "FAILURE: TestError(boom)");
    EXPECT_EQ(Result<int>::failure(plat::Error("Dom", 2)).debugDescription(),
              "FAILURE: " + plat::Error("Dom", 2).description());
}

} // namespace
} // namespace Zavorida
