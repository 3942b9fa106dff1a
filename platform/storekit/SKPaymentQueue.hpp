#pragma once
// The store's payment queue: the default queue, whether payments may be made, and the transaction observers,
// which hear "paymentQueue:updatedTransactions:" on the main queue. The driver (sim::Store) plays the store
// and the user: it delivers transaction updates and switches payments on and off.

#include "platform/foundation/Date.hpp"
#include "platform/foundation/Decimal.hpp"
#include "platform/foundation/Error.hpp"

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

struct SKProduct {
    std::string productIdentifier;
    Decimal price;
    // The currency code of the price's locale.
    std::string priceLocaleCurrencyCode;
    std::string localizedTitle;
};

struct SKProductsResponse {
    std::vector<SKProduct> products;
    std::vector<std::string> invalidProductIdentifiers;
};

class SKProductsRequest;

class SKProductsRequestDelegate {
public:
    virtual ~SKProductsRequestDelegate() = default;
    virtual void productsRequest_didReceiveResponse(SKProductsRequest& request, const SKProductsResponse& response) = 0;
    virtual void request_didFailWithError(SKProductsRequest&, const Error&) {}
    virtual void requestDidFinish(SKProductsRequest&) {}
};

// A question to the store about products; the store answers on the main queue, unless the request was
// cancelled first.
class SKProductsRequest : public std::enable_shared_from_this<SKProductsRequest> {
public:
    static std::shared_ptr<SKProductsRequest> initWithProductIdentifiers(std::vector<std::string> identifiers);

    const std::vector<std::string>& productIdentifiers() const { return identifiers_; }
    // Held weakly.
    void setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate);
    std::shared_ptr<SKProductsRequestDelegate> delegate() const;
    void start();
    void cancel();
    bool isStarted() const;
    bool isCancelled() const;

private:
    explicit SKProductsRequest(std::vector<std::string> identifiers) : identifiers_(std::move(identifiers)) {}

    const std::vector<std::string> identifiers_;
    mutable std::mutex mutex_;
    std::weak_ptr<SKProductsRequestDelegate> delegate_;
    bool started_ = false;
    bool cancelled_ = false;
};

namespace sim {

class Store {
public:
    // Registers the store's classes ("SKPaymentQueue", "SKProductsRequest"), so code that looks the
    // framework up by name finds it.
    static void install();
    static void updateTransactions(std::vector<SKPaymentTransaction> transactions);
    static void setCanMakePayments(bool allowed);
    // The requests started and neither answered nor cancelled, oldest first.
    static std::vector<std::shared_ptr<SKProductsRequest>> pendingProductRequests();
    // The store answers a started request (on the main queue): the response, then requestDidFinish:.
    static void answerProducts(const std::shared_ptr<SKProductsRequest>& request, std::vector<SKProduct> products,
                               std::vector<std::string> invalid = {});
    static void failRequest(const std::shared_ptr<SKProductsRequest>& request, Error error);
};

} // namespace sim

} // namespace plat
