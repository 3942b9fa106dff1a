#include "Zavorida/Source/ResponseSerialization.hpp"

#include "testing/Bytes.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "platform/foundation/FileManager.hpp"
#include "platform/net/HTTPURLResponse.hpp"

namespace Zavorida {
namespace {

using SerializationReason = ZVError::ResponseSerializationFailureReason::Case;

HTTPResponsePtr response(int status, std::string contentType = {}) {
    plat::HTTPHeaderFields headers;
    if (!contentType.empty()) {
        headers.set("Content-Type", contentType);
    }
    return std::make_shared<const plat::HTTPURLResponse>(*plat::URL::parse("https://api.example.test/x"),
                                                         status, "HTTP/1.1", headers);
}

using plat::test::bytes;

const ZVError::ResponseSerializationFailureReason* reasonOf(const std::optional<AnyError>& error) {
    const auto* afError = error ? error->as<ZVError>() : nullptr;
    return afError ? afError->responseSerializationReason() : nullptr;
}

// One outcome as text, so that a table can state what every rule makes of one input.
template <class Value>
std::string outcome(const Result<Value>& result, const std::optional<AnyError>& taskError) {
    if (result.isSuccess()) {
        if constexpr (std::is_same_v<Value, plat::Data>) {
            const auto value = *result.value();
            return "bytes:" + std::string(value.begin(), value.end());
        } else if constexpr (std::is_same_v<Value, std::string>) {
            return "text:" + *result.value();
        } else {
            return result.value()->isNull() ? "null" : "value";
        }
    }
    if (taskError && result.error()->isSameObject(*taskError)) {
        return "task error";
    }
    const auto* reason = reasonOf(result.error());
    if (!reason) {
        return "other error";
    }
    switch (reason->kase()) {
    case SerializationReason::inputDataNil:
        return "inputDataNil";
    case SerializationReason::inputDataNilOrZeroLength:
        return "inputDataNilOrZeroLength";
    default:
        return "other reason";
    }
}

TEST(ResponseSerializationTest, EveryRuleOverTheSameInputs) {
    const AnyError taskError = plat::Error("NSURLErrorDomain", -1001);
    struct Case {
        const char* name;
        HTTPResponsePtr response;
        std::optional<plat::Data> data;
        std::optional<AnyError> error;
        const char* data_;
        const char* string_;
        const char* json_;
        const char* plist_;
    };
    const Case cases[] = {
        {"204 with a body", response(204), bytes("{\"a\":1}"), {}, "bytes:", "text:", "null", "null"},
        {"205 with a body", response(205), bytes("[1]"), {}, "bytes:", "text:", "null", "null"},
        {"200 with no bytes",
         response(200),
         plat::Data{},
         {},
         "bytes:",
         "text:",
         "inputDataNilOrZeroLength",
         "inputDataNilOrZeroLength"},
        {"200 with a body",
         response(200),
         bytes("[1]"),
         {},
         "bytes:[1]",
         "text:[1]",
         "value",
         "other reason"},
        {"no response, no body",
         nullptr,
         std::nullopt,
         {},
         "inputDataNil",
         "inputDataNil",
         "inputDataNilOrZeroLength",
         "inputDataNilOrZeroLength"},
        {"no response, a body", nullptr, bytes("[1]"), {}, "bytes:[1]", "text:[1]", "value", "other reason"},
        {"204 and a task error", response(204), bytes("[1]"), taskError, "task error", "task error",
         "task error", "task error"},
        {"no response and a task error", nullptr, std::nullopt, taskError, "task error", "task error",
         "task error", "task error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(outcome(ResponseBodyRules::serializeAsData(c.response, c.data, c.error), c.error), c.data_);
        EXPECT_EQ(
            outcome(ResponseBodyRules::serializeAsString(std::nullopt, c.response, c.data, c.error), c.error),
            c.string_);
        EXPECT_EQ(outcome(ResponseBodyRules::serializeAsJSON(0, c.response, c.data, c.error), c.error),
                  c.json_);
        EXPECT_EQ(
            outcome(ResponseBodyRules::serializeAsPropertyList(0, c.response, c.data, c.error), c.error),
            c.plist_);
    }
    EXPECT_EQ(emptyResponseStatusCodes(), (std::unordered_set<int>{204, 205}));
}

TEST(ResponseSerializationTest, StringEncodingComesFromTheCallerThenTheResponseThenLatin1) {
    const plat::Data utf8E = bytes("caf\xC3\xA9");
    const plat::Data latin1E = bytes("caf\xE9");
    struct Case {
        const char* name;
        std::optional<plat::StringEncoding> given;
        HTTPResponsePtr response;
        plat::Data data;
        std::optional<std::string> text;
        plat::StringEncoding triedOnFailure;
    };
    const Case cases[] = {
        {"given wins over the charset", plat::ISOLatin1StringEncoding,
         response(200, "text/plain; charset=utf-8"), latin1E, "caf\xC3\xA9", 0},
        {"charset of the response", std::nullopt, response(200, "text/plain; charset=UTF-8"), utf8E,
         "caf\xC3\xA9", 0},
        {"Latin 1 without either", std::nullopt, response(200, "text/plain"), utf8E, "caf\xC3\x83\xC2\xA9",
         0},
        {"Latin 1 without a response", std::nullopt, nullptr, latin1E, "caf\xC3\xA9", 0},
        {"empty bytes decode", plat::UTF8StringEncoding, response(200), plat::Data{}, "", 0},
        {"bytes that do not decode", std::nullopt, response(200, "text/plain; charset=utf-8"), latin1E,
         std::nullopt, plat::UTF8StringEncoding},
        {"unknown charset", std::nullopt, response(200, "text/plain; charset=x-no-such"), utf8E, std::nullopt,
         plat::InvalidStringEncoding},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = DataSerializerFactories::makeStringSerializer(c.given).serializeResponse(
            std::nullopt, c.response, c.data, std::nullopt);
        if (c.text) {
            ASSERT_TRUE(result.isSuccess()) << result.debugDescription();
            EXPECT_EQ(*result.value(), *c.text);
        } else {
            const auto* reason = reasonOf(result.error());
            ASSERT_TRUE(reason);
            EXPECT_EQ(reason->kase(), SerializationReason::stringSerializationFailed);
            EXPECT_EQ(reason->stringEncoding(), c.triedOnFailure);
        }
    }
}

TEST(ResponseSerializationTest, JSONAndPropertyListPassTheirOptionsAndTheReadersErrors) {
    const auto ok = response(200);
    // A bare number is a fragment: only the allow-fragments option lets it through.
    const auto strict = DataSerializerFactories::makeJSONSerializer(0).serializeResponse(
        std::nullopt, ok, bytes("42"), std::nullopt);
    const auto* reason = reasonOf(strict.error());
    ASSERT_TRUE(reason);
    EXPECT_EQ(reason->kase(), SerializationReason::jsonSerializationFailed);
    ASSERT_TRUE(reason->error());
    EXPECT_EQ(reason->error()->code, 3840);
    const auto lenient = DataSerializerFactories::makeJSONSerializer(4).serializeResponse(
        std::nullopt, ok, bytes("42"), std::nullopt);
    ASSERT_TRUE(lenient.isSuccess());
    EXPECT_EQ(lenient.value()->integerValue(), 42);
    const auto object =
        ResponseBodyRules::serializeAsJSON(0, ok, bytes("{\"player-id\":\"x\"}"), std::nullopt);
    ASSERT_TRUE(object.isSuccess());
    EXPECT_EQ((*object.value())["player-id"].stringValue(), "x");

    const auto plist = DataSerializerFactories::makePropertyListSerializer(0).serializeResponse(
        std::nullopt, ok,
        bytes("<?xml version=\"1.0\"?><plist "
              "version=\"1.0\"><dict><key>k</key><integer>7</integer></dict></plist>"),
        std::nullopt);
    ASSERT_TRUE(plist.isSuccess()) << plist.debugDescription();
    EXPECT_EQ((*plist.value())["k"].integerValue(), 7);
    const auto broken = ResponseBodyRules::serializeAsPropertyList(0, ok, bytes("not a plist"), std::nullopt);
    reason = reasonOf(broken.error());
    ASSERT_TRUE(reason);
    EXPECT_EQ(reason->kase(), SerializationReason::propertyListSerializationFailed);
    ASSERT_TRUE(reason->error());
    EXPECT_EQ(reason->error()->code, 3840);
}

class DownloadSerializationTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(folder); }
    void TearDown() override { std::filesystem::remove_all(folder); }

    plat::URL write(const std::string& name, std::string_view contents) {
        const auto path = folder / name;
        EXPECT_TRUE(plat::writeData(path.string(), bytes(contents)));
        return plat::URL::file(path.string());
    }

    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("zavorida-download-" + std::to_string(::getpid()));
};

TEST_F(DownloadSerializationTest, FilesAreReadBeforeTheStatusIsLookedAt) {
    const auto json = write("body.json", "{\"a\":[1,2]}");
    const auto empty = write("empty", "");
    const auto missing = plat::URL::file((folder / "missing").string());
    const AnyError taskError = plat::Error("NSURLErrorDomain", -999);

    const auto data = DownloadSerializerFactories::makeDataSerializer();
    const auto text = DownloadSerializerFactories::makeStringSerializer(plat::UTF8StringEncoding);
    const auto parsed = DownloadSerializerFactories::makeJSONSerializer(0);
    const auto plist = DownloadSerializerFactories::makePropertyListSerializer(0);

    EXPECT_EQ(*data.serializeResponse(std::nullopt, response(200), json, std::nullopt).value(),
              bytes("{\"a\":[1,2]}"));
    EXPECT_EQ(*text.serializeResponse(std::nullopt, response(200), json, std::nullopt).value(),
              "{\"a\":[1,2]}");
    EXPECT_EQ(
        (*parsed.serializeResponse(std::nullopt, response(200), json, std::nullopt).value())["a"].size(), 2u);
    EXPECT_TRUE(parsed.serializeResponse(std::nullopt, response(204), json, std::nullopt).value()->isNull());

    // Zero-length files: empty bytes for the data rule, no value for JSON or property list.
    EXPECT_TRUE(data.serializeResponse(std::nullopt, response(200), empty, std::nullopt).value()->empty());
    EXPECT_EQ(
        reasonOf(parsed.serializeResponse(std::nullopt, response(200), empty, std::nullopt).error())->kase(),
        SerializationReason::inputDataNilOrZeroLength);
    EXPECT_EQ(
        reasonOf(plist.serializeResponse(std::nullopt, response(200), empty, std::nullopt).error())->kase(),
        SerializationReason::inputDataNilOrZeroLength);

    EXPECT_EQ(
        reasonOf(data.serializeResponse(std::nullopt, response(200), std::nullopt, std::nullopt).error())
            ->kase(),
        SerializationReason::inputFileNil);
    // A 204 does not rescue a file that cannot be read, and a remote URL is never fetched.
    for (const auto& unreadable : {missing, *plat::URL::parse("https://api.example.test/file")}) {
        const auto result = data.serializeResponse(std::nullopt, response(204), unreadable, std::nullopt);
        const auto* reason = reasonOf(result.error());
        ASSERT_TRUE(reason) << unreadable.absoluteString();
        EXPECT_EQ(reason->kase(), SerializationReason::inputFileReadFailed);
        EXPECT_EQ(reason->url()->absoluteString(), unreadable.absoluteString());
    }
    EXPECT_TRUE(text.serializeResponse(std::nullopt, response(200), std::nullopt, taskError)
                    .error()
                    ->isSameObject(taskError));
}

} // namespace
} // namespace Zavorida
