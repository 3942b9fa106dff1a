// In-app purchases from the payment queue through the duplicate filter to "_iap": exact millionths, the
// product requests and their cache, the receipt's classification, fingerprints, and bytes a receipt may hold.

#include "measurement/engine/DMSInAppPurchase.hpp"
#include "measurement/storage/DMSUserDefaults.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/storekit/SKPaymentQueue.hpp"
#include "platform/storekit/SKProductsRequest.hpp"
#include "testing/MutatedInputs.hpp"
#include "testing/ReceiptFixture.hpp"

#include <gtest/gtest.h>

#include <random>

namespace {

using dms::test::EngineFixture;
using plat::test::ReceiptPurchase;

plat::SKProduct purchaseTestProduct(const std::string& id, const char* price, const char* currency = "USD",
                                    std::optional<const char*> introductory = std::nullopt) {
    plat::SKProduct product;
    product.productIdentifier = id;
    product.price = plat::Decimal::fromString(price);
    product.currencyCode = currency;
    product.localizedTitle = "Title of " + id;
    if (introductory) {
        product.introductoryPrice = plat::SKProductDiscount{plat::Decimal::fromString(*introductory)};
    }
    return product;
}

plat::SKPaymentTransaction purchaseTestTransaction(const std::string& productID, const std::string& id,
                                                   int64_t quantity = 1, std::optional<std::string> original = {},
                                                   double date = 1.7e9) {
    plat::SKPaymentTransaction transaction;
    transaction.transactionState = plat::SKPaymentTransactionState::purchased;
    transaction.transactionIdentifier = id;
    transaction.transactionDate = plat::Date(date);
    transaction.payment = {productID, quantity};
    if (original) {
        auto first = std::make_shared<plat::SKPaymentTransaction>();
        first->transactionIdentifier = *original;
        transaction.originalTransaction = first;
    }
    return transaction;
}

class DMSInAppPurchaseTest : public EngineFixture {
protected:
    void SetUp() override {
        makeBundle();
        startEngine();
        recorder.emplace();
        plat::sim::ProductStore::setCatalogue({purchaseTestProduct("gems", "0.99"), purchaseTestProduct("pro", "4.99"),
                                               purchaseTestProduct("monthly", "9.99", "EUR", "1.99")});
    }
    void deliver(std::vector<plat::SKPaymentTransaction> transactions) {
        plat::sim::Store::updateTransactions(std::move(transactions));
        settle();
    }
    std::vector<dms::test::InternalEvent> purchases() const {
        std::vector<dms::test::InternalEvent> found;
        for (const auto& event : recorder->events) {
            if (event.name == "_iap" || event.name == "_iapx") {
                found.push_back(event);
            }
        }
        return found;
    }
    static int64_t integer(const dms::test::InternalEvent& event, const std::string& key) {
        const plat::Value* value = event.parameters.find(key);
        return value ? value->integerValue() : -1;
    }

    std::optional<dms::test::InternalEventRecorder> recorder;
};

TEST_F(DMSInAppPurchaseTest, APurchaseIsReportedInMillionthsOnceAndAgainOnlyWhenItWasNeverReported) {
    deliver({purchaseTestTransaction("gems", "1000000001", 3)});
    auto events = purchases();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "_iap");
    EXPECT_EQ(events[0].origin, "auto");
    EXPECT_EQ(integer(events[0], "price"), 990000);
    EXPECT_EQ(integer(events[0], "value"), 2970000);
    EXPECT_EQ(integer(events[0], "quantity"), 3);
    EXPECT_EQ(events[0].parameters.find("currency")->asString(), "USD");
    EXPECT_EQ(events[0].parameters.find("product_id")->asString(), "gems");
    EXPECT_EQ(events[0].parameters.find("product_name")->asString(), "Title of gems");
    EXPECT_EQ(plat::sim::ProductStore::requestCount(), 1);

    deliver({purchaseTestTransaction("gems", "1000000001", 3)});
    EXPECT_EQ(purchases().size(), 1u);
    EXPECT_EQ(countOf(23141), 1u);

    // The store cannot describe the product: nothing is logged, and the purchase is not lost for later.
    plat::sim::ProductStore::failNextRequests(1, plat::Error{"SKErrorDomain", 0, {}});
    deliver({purchaseTestTransaction("pro", "1000000002")});
    EXPECT_EQ(countOf(21027), 1u);
    EXPECT_EQ(purchases().size(), 1u);
    deliver({purchaseTestTransaction("pro", "1000000002")});
    events = purchases();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(integer(events[1], "price"), 4990000);
    EXPECT_EQ(countOf(23141), 1u);
}

TEST_F(DMSInAppPurchaseTest, TransactionsThatCannotBeReportedAreLeftOutAndKeepNoFingerprint) {
    auto failed = purchaseTestTransaction("gems", "1000000003");
    failed.transactionState = plat::SKPaymentTransactionState::failed;
    auto unknown = purchaseTestTransaction("nothing-like-it", "1000000004");
    auto none = purchaseTestTransaction("gems", "1000000005", 0);
    auto empty = purchaseTestTransaction("", "1000000006");
    deliver({failed, unknown, none, empty});
    EXPECT_TRUE(purchases().empty());
    // A quantity of 0 has no value, so no event; once it is fixed by the store it is reported.
    none.payment.quantity = 2;
    deliver({none});
    ASSERT_EQ(purchases().size(), 1u);
    EXPECT_EQ(integer(purchases()[0], "value"), 1980000);
}

TEST(DMSPurchaseMoney, ExactDecimalMillionths) {
    struct Case {
        const char* price;
        int64_t quantity;
        std::optional<int64_t> micros;
    };
    const Case cases[] = {
        {"0.99", 3, 2970000},
        {"0.1", 3, 300000},
        {"19.999999", 7, 139999993},
        {"0.0000019", 1, 1},
        {"0.0000019", 10, 19},
        {"1234567.891234", 1, 1234567891234},
        {"-0.5", 3, -1500000},
        {"9223372036854.775807", 1, 9223372036854775807},
        {"9223372036854.775808", 1, std::nullopt},
        {"92233720368547758", 1, std::nullopt},
        {"12345678901234567890123456789012345678", 1, std::nullopt},
        {"1", 9223372036855, std::nullopt},
    };
    for (const auto& c : cases) {
        auto price = plat::Decimal::fromString(c.price);
        ASSERT_TRUE(price) << c.price;
        EXPECT_EQ(DMSPurchaseValueInMicros(*price, c.quantity), c.micros) << c.price << " x " << c.quantity;
    }
    EXPECT_EQ(DMSPurchaseValueInMicros(plat::Decimal::notANumber(), 1), std::nullopt);
}

TEST(DMSPurchaseFingerprint, OnlyPurchasedTransactionsWithARealIdentifier) {
    dms::test::MonitorRecorder monitor;
    struct Case {
        plat::SKPaymentTransactionState state;
        std::optional<std::string> id;
        bool fingerprint;
        std::optional<int64_t> code;
    };
    const Case cases[] = {
        {plat::SKPaymentTransactionState::purchased, "1000000007", true, std::nullopt},
        {plat::SKPaymentTransactionState::restored, "1000000007", false, std::nullopt},
        {plat::SKPaymentTransactionState::purchased, std::nullopt, false, 21015},
        {plat::SKPaymentTransactionState::purchased, "", false, 21016},
        {plat::SKPaymentTransactionState::purchased, "0000-0000", false, 21017},
        {plat::SKPaymentTransactionState::purchased, "0000-0001", true, std::nullopt},
    };
    for (const auto& c : cases) {
        monitor.clear();
        plat::SKPaymentTransaction transaction;
        transaction.transactionState = c.state;
        transaction.transactionIdentifier = c.id;
        auto fingerprint = DMSInAppPurchaseTransactionReporter::transactionFingerprint(&transaction);
        EXPECT_EQ(fingerprint.has_value(), c.fingerprint) << c.id.value_or("<nil>");
        if (fingerprint) {
            EXPECT_EQ(fingerprint->size(), 32u);
        }
        EXPECT_EQ(monitor.codes(), c.code ? std::vector<int64_t>{*c.code} : std::vector<int64_t>{});
    }
    EXPECT_FALSE(DMSInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
}

class DMSPurchaseReceiptTest : public DMSInAppPurchaseTest {
protected:
    void receipt(const std::vector<ReceiptPurchase>& records) {
        plat::sim::ProductStore::installReceipt(plat::test::receiptBytes(records));
    }
};

TEST_F(DMSPurchaseReceiptTest, TheReceiptClassifiesTrialsOffersRenewalsAndRepurchases) {
    const std::string expires = "2027-01-11T08:00:00Z";
    receipt({{"gems", "1000000010", "1000000010", std::nullopt, 1, std::nullopt, std::nullopt},
             {"trial", "1000000011", "1000000011", expires, 2, 1, 0},
             {"monthly", "1000000012", "1000000012", expires, 2, 0, 1},
             {"renewing", "1000000013", "1000000013", expires, 2, 0, 1},
             {"renewing", "1000000014", "1000000013", expires, 2, 0, 0},
             {"pro", "1000000015", "1000000015", std::nullopt, 2, std::nullopt, std::nullopt}});
    plat::sim::ProductStore::setCatalogue({purchaseTestProduct("gems", "0.99"), purchaseTestProduct("trial", "2.99"),
                                           purchaseTestProduct("monthly", "9.99", "EUR", "1.99"),
                                           purchaseTestProduct("renewing", "5.00"), purchaseTestProduct("pro", "4.99")});
    deliver({purchaseTestTransaction("gems", "1000000010"), purchaseTestTransaction("trial", "1000000011"),
             purchaseTestTransaction("monthly", "1000000012"), purchaseTestTransaction("renewing", "1000000013"),
             purchaseTestTransaction("pro", "1000000015"),
             purchaseTestTransaction("pro", "1000000016", 1, std::string("1000000015"))});
    const auto events = purchases();
    ASSERT_EQ(events.size(), 6u);
    struct Expected {
        const char* name;
        int64_t price, value, subscription, freeTrial, discounted, original;
    };
    const Expected expected[] = {
        {"_iap", 990000, 990000, -1, -1, -1, -1},       // consumable
        {"_iap", 0, 0, 1, 1, 1, 2990000},               // free trial
        {"_iap", 1990000, 1990000, 1, -1, 1, 9990000},  // introductory offer
        {"_iap", 5000000, 5000000, 1, -1, -1, -1},      // a later full-price record: renewing subscription
        {"_iap", 4990000, 4990000, 1, -1, -1, -1},      // first purchase of purchase type 2
        {"_iapx", 4990000, 4990000, 1, -1, -1, -1},     // restore of a non-consumable
    };
    for (size_t i = 0; i < events.size(); ++i) {
        const auto& e = expected[i];
        EXPECT_EQ(events[i].name, e.name) << i;
        EXPECT_EQ(integer(events[i], "price"), e.price) << i;
        EXPECT_EQ(integer(events[i], "value"), e.value) << i;
        EXPECT_EQ(integer(events[i], "subscription"), e.subscription) << i;
        EXPECT_EQ(integer(events[i], "free_trial"), e.freeTrial) << i;
        EXPECT_EQ(integer(events[i], "price_is_discounted"), e.discounted) << i;
        EXPECT_EQ(integer(events[i], "original_price"), e.original) << i;
        EXPECT_FALSE(events[i].parameters.find("invalid")) << i;
    }
}

TEST_F(DMSPurchaseReceiptTest, ASubscriptionRenewalOfTheSameDateIsARepurchase) {
    receipt({{"monthly", "1000000020", "1000000020", std::string("2027-01-11T08:00:00Z"), 2, 0, 0}});
    deliver({purchaseTestTransaction("monthly", "1000000020", 1, std::nullopt, 1.8e9)});
    deliver({purchaseTestTransaction("monthly", "1000000021", 1, std::nullopt, 1.8e9),
             purchaseTestTransaction("monthly", "1000000022", 1, std::nullopt, 1.9e9)});
    const auto events = purchases();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].name, "_iap");
    EXPECT_EQ(events[1].name, "_iapx");
    EXPECT_EQ(events[2].name, "_iap");
    for (const auto& event : events) {
        EXPECT_EQ(integer(event, "subscription"), 1);
    }
    auto stored = DMSPurchaseDatesStore().objectForKey(plat::Value("monthly"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->doubleValue(), 1.9e9);
}

TEST(DMSPurchaseProductCache, AResponseThatTakesTheCacheOverAHundredEntriesReplacesIt) {
    plat::test::TempAppHome home;
    std::vector<plat::SKProduct> catalogue;
    for (int i = 0; i < 101; ++i) {
        catalogue.push_back(purchaseTestProduct("p" + std::to_string(i), "1"));
    }
    plat::sim::ProductStore::setCatalogue(catalogue);
    auto& cache = DMSInAppPurchaseProductCache::sharedInstance();
    auto ask = [&](std::set<std::string> identifiers) {
        bool answered = false;
        cache.requestProductsWithProductIdentifiers(identifiers, plat::DispatchQueue::main(),
                                                    [&](auto, auto, auto) { answered = true; });
        plat::Virtual::runUntilIdle();
        EXPECT_TRUE(answered);
    };
    std::set<std::string> first;
    for (int i = 0; i < 95; ++i) {
        first.insert("p" + std::to_string(i));
    }
    ask(first);
    ask({"p95", "p96", "p97", "p98", "unknown"});
    EXPECT_EQ(cache.sizes(), std::make_pair(size_t{99}, size_t{1}));
    ask({"p99", "p100"});
    EXPECT_EQ(cache.sizes(), std::make_pair(size_t{2}, size_t{0}));
    EXPECT_TRUE(cache.cachedProductForProductIdentifier("p100"));
    EXPECT_FALSE(cache.cachedProductForProductIdentifier("p0"));
}

TEST(DMSPurchaseReceiptBytes, PatternsStayWithinTheBytesWhateverTheyHold) {
    dms::test::MonitorRecorder monitor;
    // A captured length of 0x80 or more is a count too, and a count past the end gives nothing.
    const plat::Data longForm = {0x02, 0x02, 0x06, 0xA6, 0x02, 0x01, 0x01, 0x04, 0x83, 0x0C, 0x81, 'x'};
    EXPECT_FALSE(DMSBytesAfterPattern({0x02, 0x02, 0x06, 0xA6, 0x02, 0x01, 0xFF, 0x04, 0xFF, 0x0C, 0xFF}, longForm, 0));
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{39027});
    EXPECT_FALSE(DMSBytesAfterPattern({0x02, 0xFF}, plat::Data{0x02, 0x00}, 0));
    EXPECT_FALSE(DMSBytesAfterPattern({0x02, 0xFF}, plat::Data{0x02, 0x01}, -1));
    EXPECT_FALSE(DMSBytesAfterPattern({0x02, 0xFF}, plat::Data{0x02, 0x01}, 5));
    EXPECT_EQ(DMSBytesAfterPattern({0x02, 0xFF}, plat::Data{0x02, 0x01, 0x07}, 0), plat::Data{0x07});

    // Random and mutated receipts: every read stays in range (the sanitizers watch) and nothing crashes.
    const std::vector<plat::Data> seeds = {
        plat::test::receiptBytes({{"gems", "1", "1", std::nullopt, 1, std::nullopt, std::nullopt},
                                  {"gems", "2", "1", std::string("2027"), 2, 1, 1}}),
        plat::test::receiptRecord({"gems", "3", "3", std::string("x"), 7, 3, 9})};
    std::mt19937 random(2811);
    for (int round = 0; round < 3000; ++round) {
        const plat::Data input = plat::test::mutatedInput(random, seeds, round);
        for (size_t offset = 0; offset < input.size(); ++offset) {
            if (auto item = DMSInAppPurchaseRecordAtOffset(input, offset, "gems")) {
                EXPECT_EQ(item->productID, "gems");
            }
        }
    }
}

} // namespace
