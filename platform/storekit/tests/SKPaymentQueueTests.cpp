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
