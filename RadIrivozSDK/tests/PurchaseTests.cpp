// Purchases: the tracker made at start-up when the store allows payments sums purchased quantities per
// product, asks the store for the prices and reports each update's records against the request made for it.

#include "RadIrivozSDK/Source/RadIrivozTrackIAP.hpp"
#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"
#include "platform/storekit/SKPaymentQueue.hpp"

namespace {

using namespace push::test;
using plat::SKPaymentTransactionState;
using plat::Virtual;

plat::SKPaymentTransaction purchaseOf(const std::string& product, int64_t quantity,
                                      SKPaymentTransactionState state = SKPaymentTransactionState::purchased) {
    plat::SKPaymentTransaction transaction;
    transaction.transactionState = state;
    transaction.payment = {product, quantity};
    return transaction;
}

plat::SKProduct productOf(const std::string& id, const char* price) {
    return {id, *plat::Decimal::fromString(price), "EUR", id, {}};
}

class PurchaseTest : public PushDeviceTest {
protected:
    void launch(bool storeInstalled = true) {
        if (storeInstalled) {
            plat::sim::Store::install();
        }
        boot("12.4");
        setDelegate(makeDelegateClass("PurchaseAppDelegate", {}));
        net->route("", apiURL(""), plat::ScriptedReply::text(200, R"({"success":true,"id":"player-1"})"));
        start();
        Virtual::runUntilIdle();
        RadIrivoz::currentSubscriptionState()->setUserId(std::string("player-1"));
        net->clearRequests();
    }
    std::vector<plat::Value> reported() const {
        std::vector<plat::Value> out;
        for (const auto& request : sent("POST", "players/player-1/on_purchase")) {
            out.push_back(plat::Value(body(request))["purchases"]);
        }
        return out;
    }
    static std::shared_ptr<plat::SKProductsRequest> onlyProductRequest() {
        auto pending = plat::sim::Store::pendingProductRequests();
        return pending.size() == 1 ? pending.front() : nullptr;
    }
};

TEST_F(PurchaseTest, EachUpdateIsReportedWithPriceCurrencyAndCountWhenNotOne) {
    launch();
    struct Case {
        const char* name;
        std::vector<plat::SKPaymentTransaction> transactions;
        std::vector<plat::SKProduct> products;
        plat::Value expected; // null: no request to the store, nothing sent
    };
    const Case cases[] = {
        {"one unit", {purchaseOf("gold", 1)}, {productOf("gold", "0.99")},
         plat::Value(plat::Array{plat::Value(plat::Dictionary{
             {"sku", plat::Value("gold")}, {"amount", plat::Value(0.99)}, {"iso", plat::Value("EUR")}})})},
        {"1 + 2 of one product, one unknown to the store",
         {purchaseOf("gold", 1), purchaseOf("gold", 2), purchaseOf("gone", 1)},
         {productOf("gold", "2")},
         plat::Value(plat::Array{plat::Value(plat::Dictionary{{"sku", plat::Value("gold")},
                                                              {"amount", plat::Value(2)},
                                                              {"iso", plat::Value("EUR")},
                                                              {"count", plat::Value(3)}})})},
        {"failed, restored and deferred",
         {purchaseOf("gold", 1, SKPaymentTransactionState::failed),
          purchaseOf("gold", 1, SKPaymentTransactionState::restored),
          purchaseOf("gold", 1, SKPaymentTransactionState::deferred)},
         {},
         plat::Value()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        net->clearRequests();
        plat::sim::Store::updateTransactions(c.transactions);
        Virtual::runUntilIdle();
        auto request = onlyProductRequest();
        if (c.expected.isNull()) {
            EXPECT_FALSE(request);
            EXPECT_TRUE(reported().empty());
            continue;
        }
        ASSERT_TRUE(request);
        plat::sim::Store::answerProducts(request, c.products);
        Virtual::runUntilIdle();
        ASSERT_EQ(reported().size(), 1u);
        EXPECT_EQ(reported().front(), c.expected);
    }
}

TEST_F(PurchaseTest, ANewerUpdateDoesNotTakeTheRecordsOfAnEarlierRequest) {
    launch();
    plat::sim::Store::updateTransactions({purchaseOf("gold", 2)});
    Virtual::runUntilIdle();
    plat::sim::Store::updateTransactions({purchaseOf("silver", 1)});
    Virtual::runUntilIdle();
    auto pending = plat::sim::Store::pendingProductRequests();
    ASSERT_EQ(pending.size(), 2u);
    plat::sim::Store::answerProducts(pending[0], {productOf("gold", "1.5")});
    plat::sim::Store::failRequest(pending[1], plat::Error("SKErrorDomain", 0));
    Virtual::runUntilIdle();
    ASSERT_EQ(reported().size(), 1u) << "a failed request sends nothing";
    EXPECT_EQ(reported().front().at(0)["sku"], plat::Value("gold"));
    EXPECT_EQ(reported().front().at(0)["count"], plat::Value(2));
}

TEST_F(PurchaseTest, ReleasingTheTrackerCancelsItsRequestAndStopsObserving) {
    launch();
    const size_t observers = plat::SKPaymentQueue::defaultQueue().observerCount();
    auto tracker = RadIrivozTrackIAP::init();
    EXPECT_EQ(plat::SKPaymentQueue::defaultQueue().observerCount(), observers + 1);
    tracker->paymentQueue_updatedTransactions(plat::SKPaymentQueue::defaultQueue(), {purchaseOf("gold", 1)});
    auto pending = plat::sim::Store::pendingProductRequests();
    ASSERT_FALSE(pending.empty());
    auto request = pending.back();
    tracker.reset();
    EXPECT_TRUE(request->isCancelled());
    EXPECT_FALSE(request->delegate());
    EXPECT_EQ(plat::SKPaymentQueue::defaultQueue().observerCount(), observers);
}

TEST_F(PurchaseTest, NoTrackerWithoutTheStoreOrWhenPaymentsAreNotAllowed) {
    EXPECT_FALSE(RadIrivozTrackIAP::canTrack()) << "the store is not installed";
    plat::sim::Store::setCanMakePayments(false);
    launch();
    EXPECT_FALSE(RadIrivozTrackIAP::canTrack());
    EXPECT_EQ(plat::SKPaymentQueue::defaultQueue().observerCount(), 0u);
    plat::sim::Store::updateTransactions({purchaseOf("gold", 1)});
    Virtual::runUntilIdle();
    EXPECT_TRUE(plat::sim::Store::pendingProductRequests().empty());
}

} // namespace
