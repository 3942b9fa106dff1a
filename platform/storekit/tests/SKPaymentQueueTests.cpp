// The payment queue: observers hear transaction updates on the main queue, once each, while they live.

#include "platform/dispatch/Backend.hpp"
#include "platform/storekit/SKPaymentQueue.hpp"
#include "platform/runtime/Runtime.hpp"

#include <gtest/gtest.h>

namespace {

class SKPaymentQueueRecorder : public plat::SKPaymentTransactionObserver {
public:
    void paymentQueue_updatedTransactions(plat::SKPaymentQueue&,
                                          const std::vector<plat::SKPaymentTransaction>& transactions) override {
        for (const auto& transaction : transactions) {
            heard.push_back(transaction.payment.productIdentifier);
        }
    }
    std::vector<std::string> heard;
};

TEST(SKPaymentQueue, ObserversHearUpdatesOnceWhileTheyLive) {
    auto& queue = plat::SKPaymentQueue::defaultQueue();
    EXPECT_TRUE(plat::rt::getClass("SKPaymentQueue"));
    auto first = std::make_shared<SKPaymentQueueRecorder>();
    auto second = std::make_shared<SKPaymentQueueRecorder>();
    queue.addTransactionObserver(first);
    queue.addTransactionObserver(first);
    queue.addTransactionObserver(second);
    EXPECT_EQ(queue.observerCount(), 2u);
    plat::SKPaymentTransaction bought;
    bought.transactionState = plat::SKPaymentTransactionState::purchased;
    bought.payment.productIdentifier = "coins";
    plat::sim::Store::updateTransactions({bought});
    EXPECT_TRUE(first->heard.empty()); // delivered on the main queue, not inline
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(first->heard, std::vector<std::string>{"coins"});
    EXPECT_EQ(second->heard, std::vector<std::string>{"coins"});

    queue.removeTransactionObserver(first.get());
    second.reset();
    EXPECT_EQ(queue.observerCount(), 0u);
    plat::sim::Store::updateTransactions({bought});
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(first->heard.size(), 1u);
    plat::sim::Store::setCanMakePayments(false);
    EXPECT_FALSE(plat::SKPaymentQueue::canMakePayments());
}

} // namespace

namespace {

class SKProductsRecorder : public plat::SKProductsRequestDelegate {
public:
    void productsRequest_didReceiveResponse(plat::SKProductsRequest&,
                                            const plat::SKProductsResponse& response) override {
        for (const auto& product : response.products) {
            products.push_back(product.productIdentifier);
        }
        invalid = response.invalidProductIdentifiers;
    }
    void request_didFailWithError(plat::SKProductsRequest&, const plat::Error& error) override {
        failures.push_back(error.code);
    }
    void requestDidFinish(plat::SKProductsRequest&) override { ++finished; }
    std::vector<std::string> products;
    std::vector<std::string> invalid;
    std::vector<int64_t> failures;
    int finished = 0;
};

TEST(SKProductsRequest, TheStoreAnswersStartedRequestsOnceAndNeverACancelledOne) {
    plat::sim::Store::install();
    EXPECT_TRUE(plat::rt::getClass("SKProductsRequest"));
    auto recorder = std::make_shared<SKProductsRecorder>();
    auto answered = plat::SKProductsRequest::initWithProductIdentifiers({"gold", "silver"});
    auto failed = plat::SKProductsRequest::initWithProductIdentifiers({"x"});
    auto cancelled = plat::SKProductsRequest::initWithProductIdentifiers({"y"});
    auto notStarted = plat::SKProductsRequest::initWithProductIdentifiers({"z"});
    for (const auto& request : {answered, failed, cancelled, notStarted}) {
        request->setDelegate(recorder);
    }
    answered->start();
    failed->start();
    cancelled->start();
    EXPECT_EQ(plat::sim::Store::pendingProductRequests().size(), 3u);
    cancelled->cancel();
    ASSERT_EQ(plat::sim::Store::pendingProductRequests().size(), 2u);

    plat::sim::Store::answerProducts(answered, {{"gold", *plat::Decimal::fromString("0.99"), "EUR", "Gold", {}}},
                                     {"silver"});
    plat::sim::Store::answerProducts(answered, {{"again", plat::Decimal(1), "EUR", "Again", {}}});
    plat::sim::Store::failRequest(failed, plat::Error("SKErrorDomain", 0));
    plat::sim::Store::answerProducts(cancelled, {{"y", plat::Decimal(1), "EUR", "Y", {}}});
    plat::sim::Store::answerProducts(notStarted, {{"z", plat::Decimal(1), "EUR", "Z", {}}});
    EXPECT_TRUE(recorder->products.empty()) << "answers come on the main queue";
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(recorder->products, std::vector<std::string>{"gold"});
    EXPECT_EQ(recorder->invalid, std::vector<std::string>{"silver"});
    EXPECT_EQ(recorder->failures, std::vector<int64_t>{0});
    EXPECT_EQ(recorder->finished, 1) << "only a response finishes a request";
    EXPECT_TRUE(plat::sim::Store::pendingProductRequests().empty());
}

} // namespace
