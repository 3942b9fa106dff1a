#pragma once
// The store's payment queue: the default queue, whether payments may be made, and the transaction observers,
// which hear "paymentQueue:updatedTransactions:" on the main queue. The driver (sim::Store) plays the store
// and the user: it delivers transaction updates and switches payments on and off.

#include "platform/foundation/Date.hpp"
#include "platform/foundation/Decimal.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/storekit/SKProductsRequest.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plat {

enum class SKPaymentTransactionState : int64_t { purchasing = 0, purchased = 1, failed = 2, restored = 3, deferred = 4 };

struct SKPayment {
    std::string productIdentifier;
    int64_t quantity = 1;
};

struct SKPaymentTransaction {
    SKPaymentTransactionState transactionState = SKPaymentTransactionState::purchasing;
    std::optional<std::string> transactionIdentifier;
    std::optional<Date> transactionDate;
    std::shared_ptr<const SKPaymentTransaction> originalTransaction;
    SKPayment payment;
    std::optional<Error> error;
};

class SKPaymentQueue;

class SKPaymentTransactionObserver {
public:
    virtual ~SKPaymentTransactionObserver() = default;
    virtual void paymentQueue_updatedTransactions(SKPaymentQueue& queue,
                                                  const std::vector<SKPaymentTransaction>& transactions) = 0;
};

class SKPaymentQueue {
public:
    static SKPaymentQueue& defaultQueue();
    static bool canMakePayments();
    // Held weakly; adding an observer twice keeps one.
    void addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer);
    void removeTransactionObserver(const SKPaymentTransactionObserver* observer);
    size_t observerCount() const;

    // Driver: every live observer hears the update on the main queue.
    void deliverTransactions(std::vector<SKPaymentTransaction> transactions);

private:
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers_;
};

namespace sim {

class Store {
public:
    // Registers the store's classes ("SKPaymentQueue", "SKProductsRequest"), so code that looks the
    // framework up by name finds it.
    static void install();
    static void updateTransactions(std::vector<SKPaymentTransaction> transactions);
    static void setCanMakePayments(bool allowed);
    // Without a catalogue (sim::ProductStore) a started product request waits for one of these. The requests
    // started and neither answered nor cancelled, oldest first:
    static std::vector<std::shared_ptr<SKProductsRequest>> pendingProductRequests();
    // The store answers a started request (on the main queue): the response, then requestDidFinish:.
    static void answerProducts(const std::shared_ptr<SKProductsRequest>& request, std::vector<SKProduct> products,
                               std::vector<std::string> invalid = {});
    static void failRequest(const std::shared_ptr<SKProductsRequest>& request, Error error);
};

} // namespace sim

} // namespace plat
