// The name and value checks with their failure codes and monitor lines, and the public-to-internal name
// tables.

#include "measurement/storage/DMSDataTypeValidator.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using DMSValidatorCheck = std::function<bool(const DMSObject&, int64_t*)>;

struct DMSValidatorCase {
    const char* label;
    DMSValidatorCheck check;
    DMSObject object;
    int64_t failure;
    std::vector<int64_t> monitorCodes;
};

const std::string kDMSGothicLetter = "\xF0\x90\x8C\xB0"; // U+10330, a letter outside the BMP
const std::string kDMSCombiningAcute = "\xCC\x81";       // U+0301

} // namespace

TEST(DMSDataTypeValidator, ChecksGiveTheirFailureCodesAndMessages) {
    using V = DMSDataTypeValidator;
    const DMSValidatorCheck publicEvent = V::isValidPublicEventName;
    const DMSValidatorCheck internalEvent = V::isValidInternalEventName;
    const DMSValidatorCheck forwardedOrigin = V::isValidForwardedEventOrigin;
    const DMSValidatorCheck internalOrigin = V::isValidInternalEventOrigin;
    const DMSValidatorCheck publicParameter = V::isValidPublicEventParameterName;
    const DMSValidatorCheck publicValue = V::isValidPublicEventParameterValue;
    const DMSValidatorCheck internalValue = V::isValidInternalEventParameterValue;
    const DMSValidatorCheck publicProperty = V::isValidPublicUserAttributeName;
    const DMSValidatorCheck publicPropertyValue = V::isValidPublicUserAttributeValue;
    const DMSValidatorCheck conditionalValue = V::isValidConditionalUserPropertyValue;
    const DMSValidatorCheck screenValue = V::isValidScreenParameterValue;
    const DMSValidatorCheck numeric = V::isValidNumericValue;
    const DMSValidatorCheck currency = V::isValidCurrencyCode;
    auto userValue = [](const char* name) {
        return DMSValidatorCheck([name](const DMSObject& value, int64_t* failure) {
            return DMSDataTypeValidator::isValidInternalUserAttributeValue(value, name, failure);
        });
    };
    auto text = [](const std::string& s) { return DMSObject(DMSValue::initWithString(s)); };

    const DMSValidatorCase cases[] = {
        {"40 code points", publicEvent, dms::test::repeated("a", 40), 0, {}},
        {"41 code points", publicEvent, dms::test::repeated("a", 41), 2, {13000}},
        {"40 letters outside the BMP", publicEvent, dms::test::repeated(kDMSGothicLetter, 40), 0, {}},
        {"41 letters outside the BMP", publicEvent, dms::test::repeated(kDMSGothicLetter, 41), 2, {13000}},
        {"nil name", publicEvent, DMSObject(), 1, {13001}},
        {"empty name", publicEvent, std::string(), 1, {13001}},
        {"a number as name", publicEvent, plat::Value(5), 5, {13000}},
        {"a typed value as name", internalEvent, text("name"), 5, {13000}},
        {"leading digit, internal", internalEvent, "1abc", 0, {}},
        {"leading digit, public", publicEvent, "1abc", 3, {13003}},
        {"leading underscore, internal", internalEvent, "_abc", 0, {}},
        {"leading underscore, public", publicEvent, "_abc", 3, {13003}},
        {"hyphen, internal", internalEvent, "a-b", 3, {13002}},
        {"hyphen, public", publicEvent, "a-b", 3, {13002}},
        {"letter with a combining mark", internalEvent, "e" + kDMSCombiningAcute, 3, {13002}},
        {"digits of another script", internalEvent, "a\xD9\xA3", 0, {}}, // Arabic-Indic three
        {"reserved event name", publicEvent, "first_open", 4, {13006}},
        {"reserved event name, other case", publicEvent, "First_open", 0, {}},
        {"reserved prefix vedudodu_", publicEvent, "vedudodu_x", 4, {13007}},
        {"reserved prefix razoza_", publicEvent, "razoza_x", 4, {13007}},
        {"reserved prefix ga_", publicEvent, "ga_x", 4, {13007}},
        {"reserved prefix, other case", publicEvent, "GA_x", 0, {}},
        {"reserved names are public names only", internalEvent, "first_open", 0, {}},
        {"parameter with reserved prefix", publicParameter, "razoza_id", 4, {13008}},
        {"parameter that is a reserved event name", publicParameter, "first_open", 0, {}},
        {"reserved user property", publicProperty, "user_id", 4, {13009}},
        {"user property with reserved prefix, other case", publicProperty, "Vedudodu_x", 0, {}},
        {"user property with reserved prefix", publicProperty, "vedudodu_x", 4, {13010}},
        {"user property name of 25", publicProperty, dms::test::repeated("p", 25), 2, {13000}},
        {"origin of 32", internalOrigin, dms::test::repeated("o", 32), 0, {}},
        {"origin of 33", internalOrigin, dms::test::repeated("o", 33), 2, {13000}},
        {"forwarded origin", forwardedOrigin, "abc+rtm", 0, {}},
        {"origin without the suffix", forwardedOrigin, "abc", 6, {}},
        {"empty forwarded origin", forwardedOrigin, std::string(), 1, {}},
        {"only the suffix", forwardedOrigin, "+rtm", 1, {13001}},
        {"forwarded origin with a bad character", forwardedOrigin, "a.b+rtm", 3, {13002}},
        {"empty parameter value", publicValue, text(""), 0, {}},
        {"parameter value of 100", publicValue, text(dms::test::repeated("v", 100)), 0, {}},
        {"parameter value of 101", publicValue, text(dms::test::repeated("v", 101)), 2, {13000}},
        {"internal parameter value of 101", internalValue, text(dms::test::repeated("v", 101)), 0, {}},
        {"internal parameter value of 257", internalValue, text(dms::test::repeated("v", 257)), 2, {13000}},
        {"numbers pass any length", publicValue, DMSValue::initWithInt64(1234567890123), 0, {}},
        {"nil value", publicValue, DMSObject(), 1, {13004}},
        {"plain string as value", publicValue, plat::Value("v"), 5, {13005}},
        {"empty user property value: no message", publicPropertyValue, text(""), 1, {}},
        {"empty conditional value is reported", conditionalValue, text(""), 1, {13001}},
        {"user ID of 256", userValue("_id"), text(dms::test::repeated("u", 256)), 0, {}},
        {"user ID of 257", userValue("_id"), text(dms::test::repeated("u", 257)), 2, {13000}},
        {"other property of 37", userValue("_ldl"), text(dms::test::repeated("u", 37)), 2, {13000}},
        {"screen value as plain string", screenValue, "Home", 0, {}},
        {"screen value as typed value", screenValue, text("Home"), 5, {13000}},
        {"screen value of 101", screenValue, dms::test::repeated("s", 101), 2, {13000}},
        {"numeric integer", numeric, DMSValue::initWithInt64(3), 0, {}},
        {"numeric double", numeric, DMSValue::initWithDouble(9.99), 0, {}},
        {"numeric string", numeric, text("9.99"), 8, {13011}},
        {"numeric plain number", numeric, plat::Value(3), 5, {13005}},
        {"currency", currency, text("EUR"), 0, {}},
        {"currency in lower case", currency, text("usd"), 0, {}},
        {"currency with a digit", currency, text("US1"), 9, {13012}},
        {"currency of 4", currency, text("EURO"), 9, {13012}},
        {"currency as a number", currency, DMSValue::initWithInt64(978), 9, {13012}},
        {"currency of one letter outside the BMP", currency, text(kDMSGothicLetter + "A"), 9, {13012}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        dms::test::MonitorRecorder monitor;
        int64_t failure = -1;
        EXPECT_EQ(c.check(c.object, &failure), c.failure == 0);
        EXPECT_EQ(failure, c.failure);
        EXPECT_EQ(monitor.codes(), c.monitorCodes);
    }
}

TEST(DMSDataTypeValidator, MessagesNameTheItemAndTheLimit) {
    dms::test::MonitorRecorder monitor;
    EXPECT_FALSE(DMSDataTypeValidator::isValidPublicEventName(dms::test::repeated("a", 41), nullptr));
    EXPECT_FALSE(DMSDataTypeValidator::isValidPublicEventParameterValue(
        DMSValue::initWithString(dms::test::repeated("v", 101)), nullptr));
    EXPECT_FALSE(
        DMSDataTypeValidator::isValidConditionalUserPropertyValue(DMSValue::initWithString(""), nullptr));
    EXPECT_FALSE(DMSDataTypeValidator::isValidCurrencyCode(DMSValue::initWithString("EURO"), nullptr));
    EXPECT_FALSE(DMSDataTypeValidator::isValidString(plat::Value("ab"), 3, 5, 42, nullptr));
    auto calls = monitor.calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].message, "Event name is too long. The maximum supported length is 40");
    EXPECT_EQ(calls[0].level, 1);
    ASSERT_EQ(calls[0].contexts.size(), 1u);
    EXPECT_EQ(std::get<plat::Value>(calls[0].contexts[0]), plat::Value(dms::test::repeated("a", 41)));
    EXPECT_EQ(calls[1].message, "Event parameter value is too long. The maximum supported length is 100");
    EXPECT_EQ(calls[1].level, 4);
    EXPECT_EQ(calls[2].message, "Conditional user property value is required and can't be empty");
    EXPECT_EQ(calls[3].message,
              "Event parameter value must contain a 3-letter ISO_4217 currency code. value");
    EXPECT_EQ(calls[3].level, 3);
    EXPECT_EQ(calls[4].message, "Object is too short. The minimum supported length is 3");
}

TEST(DMSDataTypeValidator, NameTablesHoldExactlyTheirEntries) {
    EXPECT_EQ(DMSEventNameTable().size(), 24u);
    EXPECT_EQ(DMSParameterNameTable().size(), 36u);
    EXPECT_EQ(DMSUserPropertyNameTable().size(), 6u);
    EXPECT_EQ(DMSEventNameTable().at("first_open"), "_f");
    EXPECT_EQ(DMSEventNameTable().at("error"), "_err");
    EXPECT_EQ(DMSEventNameTable().at("adunit_exposure"), "_xu");
    EXPECT_EQ(DMSParameterNameTable().at("ga_extra_params_ct"), "_epc");
    EXPECT_EQ(DMSParameterNameTable().at("message_device_time"), "_ndt");
    EXPECT_EQ(DMSParameterNameTable().at("vedudodu_event_origin"), "_o");
    EXPECT_EQ(DMSUserPropertyNameTable().at("user_id"), "_id");
    EXPECT_EQ(DMSUserPropertyNameTable().at("vedudodu_last_notification"), "_ln");
    // Every internal name is a valid internal name of its kind.
    for (const auto* table : {&DMSEventNameTable(), &DMSParameterNameTable(), &DMSUserPropertyNameTable()}) {
        for (const auto& [publicName, internalName] : *table) {
            EXPECT_TRUE(internalName.starts_with("_")) << publicName;
        }
    }
}

TEST(DMSDataTypeValidator, TablesAreBuiltOnceFromAnyThread) {
    std::vector<const DMSNameTable*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] {
            seen[i] = i % 2 ? &DMSParameterNameTable() : &DMSEventNameTable();
            (void)DMSDataTypeValidator::isNameCharacter(U'a');
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], i % 2 ? &DMSParameterNameTable() : &DMSEventNameTable());
    }
}
