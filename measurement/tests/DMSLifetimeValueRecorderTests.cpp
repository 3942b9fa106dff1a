// Lifetime value: totals per upper-case currency in millionths, eviction of the currency set longest ago, and
// amounts that cannot be represented refused instead of wrapped or converted out of range.

#include "measurement/engine/DMSLifetimeValueRecorder.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

namespace {

class DMSLifetimeValueRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
        ASSERT_TRUE(database);
    }

    bool record(const std::string& name, plat::Dictionary parameters) {
        auto event = DMSEvent::initWithOrigin(name == "_iap" ? "auto" : "app", name[0] != '_', name,
                                              plat::Clock::now(), 0, parameters);
        EXPECT_TRUE(event) << name;
        // One second apart, so that "set longest ago" is well defined.
        plat::Virtual::advanceBy(1);
        return event && DMSLifetimeValueRecorder::recordLifetimeValueToDatabase(database.get(), *event);
    }
    bool purchase(const std::string& currency, plat::Value value, const std::string& name = "ecommerce_purchase") {
        plat::Dictionary parameters;
        parameters.set("currency", plat::Value(currency));
        parameters.set("value", std::move(value));
        return record(name, parameters);
    }
    std::map<std::string, int64_t> totals() {
        std::map<std::string, int64_t> found;
        plat::Error error;
        auto attributes = database->userAttributesIncludingInternal(true, &error);
        EXPECT_TRUE(attributes);
        for (const auto& attribute : attributes.value_or(std::vector<DMSUserAttribute>{})) {
            found[attribute.name()] = attribute.value().int64Value();
        }
        return found;
    }

    plat::test::TempAppHome home;
    dms::test::MonitorRecorder monitor;
    std::unique_ptr<DMSDatabase> database;
};

TEST_F(DMSLifetimeValueRecorderTest, PurchasesAddUpPerUpperCaseCurrencyInMillionths) {
    EXPECT_TRUE(purchase("usd", plat::Value(9.99)));
    EXPECT_TRUE(purchase("USD", plat::Value(int64_t{1})));
    EXPECT_TRUE(purchase("EUR", plat::Value(int64_t{2970000}), "_iap"));
    // A double "value" of an automatic purchase is already millionths: truncated, not scaled.
    EXPECT_TRUE(purchase("EUR", plat::Value(10.9), "_iap"));
    // Not a purchase: nothing recorded, and nothing to fail.
    EXPECT_TRUE(purchase("GBP", plat::Value(int64_t{5}), "refund"));
    // Halves go away from zero.
    EXPECT_TRUE(purchase("JPY", plat::Value(0.0000005)));
    EXPECT_EQ(totals(), (std::map<std::string, int64_t>{{"_ltv_USD", 10990000}, {"_ltv_EUR", 2970010},
                                                        {"_ltv_JPY", 1}}));
}

TEST_F(DMSLifetimeValueRecorderTest, UnusableCurrencyOrValueRecordsNothingButDoesNotFailTheEvent) {
    struct Case {
        plat::Value currency;
        plat::Value value;
        int64_t code;
    };
    const Case cases[] = {
        {plat::Value("US"), plat::Value(1.0), 22000},
        {plat::Value("USDX"), plat::Value(1.0), 22000},
        {plat::Value(int64_t{840}), plat::Value(1.0), 22000},
        {plat::Value("USD"), plat::Value("1.00"), 22001},
    };
    for (const auto& c : cases) {
        monitor.clear();
        plat::Dictionary parameters;
        parameters.set("currency", c.currency);
        parameters.set("value", c.value);
        EXPECT_TRUE(record("ecommerce_purchase", parameters)) << c.currency.description();
        EXPECT_EQ(monitor.codes(), std::vector<int64_t>{c.code}) << c.currency.description();
    }
    EXPECT_TRUE(totals().empty());
}

TEST_F(DMSLifetimeValueRecorderTest, AFifthCurrencyEvictsTheOneSetLongestAgoAndOthersAreNeverTouched) {
    auto other = DMSUserAttribute::initWithOrigin("app", "Altv_score", DMSValue::initWithInt64(7), 0.5);
    plat::Error error;
    ASSERT_TRUE(database->updateUserAttribute(&*other, &error));
    for (const char* currency : {"AUD", "BRL", "CAD", "DKK"}) {
        ASSERT_TRUE(purchase(currency, plat::Value(1.0)));
    }
    // Updating the oldest makes it the newest; a known currency never evicts.
    ASSERT_TRUE(purchase("AUD", plat::Value(1.0)));
    EXPECT_EQ(totals().size(), 5u);
    ASSERT_TRUE(purchase("EUR", plat::Value(1.0)));
    EXPECT_EQ(totals(), (std::map<std::string, int64_t>{{"Altv_score", 7}, {"_ltv_AUD", 2000000},
                                                        {"_ltv_CAD", 1000000}, {"_ltv_DKK", 1000000},
                                                        {"_ltv_EUR", 1000000}}));
}

TEST_F(DMSLifetimeValueRecorderTest, AmountsOutsideTheSixtyFourBitRangeAreRefusedWithoutChangingTheTotal) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    for (double units : {1e13, -1e13, 9223372036854.775808, nan, infinity, -infinity}) {
        monitor.clear();
        EXPECT_FALSE(purchase("USD", plat::Value(units))) << units;
        EXPECT_EQ(monitor.codes(), std::vector<int64_t>{22002}) << units;
    }
    for (double micros : {9.3e18, nan, -infinity}) {
        EXPECT_FALSE(purchase("USD", plat::Value(micros), "_iap")) << micros;
    }
    EXPECT_TRUE(totals().empty());

    // Two amounts that each fit but together pass 2^63: the second is refused and the first total stays.
    ASSERT_TRUE(purchase("USD", plat::Value(std::numeric_limits<int64_t>::max() - 5), "_iap"));
    monitor.clear();
    EXPECT_FALSE(purchase("USD", plat::Value(int64_t{6}), "_iap"));
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{22002});
    EXPECT_TRUE(purchase("USD", plat::Value(int64_t{5}), "_iap"));
    EXPECT_EQ(totals()["_ltv_USD"], std::numeric_limits<int64_t>::max());
}

} // namespace
