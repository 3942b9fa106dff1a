#include "platform/storekit/SKPaymentQueue.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>
#include <atomic>

namespace plat {

namespace {

std::atomic<bool>& storeCanMakePayments() {
    static std::atomic<bool> allowed{true};
    return allowed;
}

struct PendingProductRequests {
    std::mutex mutex;
    std::vector<std::shared_ptr<SKProductsRequest>> requests;
};

PendingProductRequests& pendingProducts() {
    static NeverDestroyed<PendingProductRequests> pending;
    return *pending;
}

// Takes the request out of the pending list; false when it was not there (never started, answered or
// cancelled).
bool takePendingProductRequest(const SKProductsRequest* request) {
    std::lock_guard lock(pendingProducts().mutex);
    auto& list = pendingProducts().requests;
    auto it = std::find_if(list.begin(), list.end(), [request](const auto& r) { return r.get() == request; });
    if (it == list.end()) {
        return false;
    }
    list.erase(it);
    return true;
}

template <class Answer> void answerProductRequest(const std::shared_ptr<SKProductsRequest>& request, Answer answer) {
    if (!request || !takePendingProductRequest(request.get())) {
        return;
    }
    DispatchQueue::main()->async([request, answer = std::move(answer)] {
        if (request->isCancelled()) {
            return;
        }
        if (auto delegate = request->delegate()) {
            answer(*delegate, *request);
        }
    });
}

} // namespace

SKPaymentQueue& SKPaymentQueue::defaultQueue() {
    static NeverDestroyed<SKPaymentQueue> queue;
    // Present as a class, so code that looks the store up by name finds it.
    static rt::Class* const registered = rt::registerClass("SKPaymentQueue");
    (void)registered;
    return *queue;
}

bool SKPaymentQueue::canMakePayments() { return storeCanMakePayments().load(); }

void SKPaymentQueue::addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer) {
    if (!observer) {
        return;
    }
    std::lock_guard lock(mutex_);
    for (const auto& existing : observers_) {
        if (existing.lock() == observer) {
            return;
        }
    }
    observers_.push_back(observer);
}

void SKPaymentQueue::removeTransactionObserver(const SKPaymentTransactionObserver* observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [observer](const std::weak_ptr<SKPaymentTransactionObserver>& existing) {
        auto live = existing.lock();
        return !live || live.get() == observer;
    });
}

size_t SKPaymentQueue::observerCount() const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const auto& existing : observers_) {
        count += existing.expired() ? 0 : 1;
    }
    return count;
}

void SKPaymentQueue::deliverTransactions(std::vector<SKPaymentTransaction> transactions) {
    std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers;
    {
        std::lock_guard lock(mutex_);
        observers = observers_;
    }
    DispatchQueue::main()->async([this, observers = std::move(observers), transactions = std::move(transactions)] {
        for (const auto& weak : observers) {
            if (auto observer = weak.lock()) {
                observer->paymentQueue_updatedTransactions(*this, transactions);
            }
        }
    });
}

std::shared_ptr<SKProductsRequest>
SKProductsRequest::initWithProductIdentifiers(std::vector<std::string> identifiers) {
    return std::shared_ptr<SKProductsRequest>(new SKProductsRequest(std::move(identifiers)));
}

void SKProductsRequest::setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

std::shared_ptr<SKProductsRequestDelegate> SKProductsRequest::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void SKProductsRequest::start() {
    {
        std::lock_guard lock(mutex_);
        if (started_ || cancelled_) {
            return;
        }
        started_ = true;
    }
    std::lock_guard lock(pendingProducts().mutex);
    pendingProducts().requests.push_back(shared_from_this());
}

void SKProductsRequest::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    takePendingProductRequest(this);
}

bool SKProductsRequest::isStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

bool SKProductsRequest::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void sim::Store::install() {
    (void)SKPaymentQueue::defaultQueue();
    if (!rt::getClass("SKProductsRequest")) {
        rt::registerClass("SKProductsRequest");
    }
}

std::vector<std::shared_ptr<SKProductsRequest>> sim::Store::pendingProductRequests() {
    std::lock_guard lock(pendingProducts().mutex);
    return pendingProducts().requests;
}

void sim::Store::answerProducts(const std::shared_ptr<SKProductsRequest>& request, std::vector<SKProduct> products,
                                std::vector<std::string> invalid) {
    answerProductRequest(request, [response = SKProductsResponse{std::move(products), std::move(invalid)}](
                                      SKProductsRequestDelegate& delegate, SKProductsRequest& r) {
        delegate.productsRequest_didReceiveResponse(r, response);
        delegate.requestDidFinish(r);
    });
}

void sim::Store::failRequest(const std::shared_ptr<SKProductsRequest>& request, Error error) {
    answerProductRequest(request, [error = std::move(error)](SKProductsRequestDelegate& delegate,
                                                             SKProductsRequest& r) {
        delegate.request_didFailWithError(r, error);
    });
}

void sim::Store::updateTransactions(std::vector<SKPaymentTransaction> transactions) {
    SKPaymentQueue::defaultQueue().deliverTransactions(std::move(transactions));
}

void sim::Store::setCanMakePayments(bool allowed) { storeCanMakePayments() = allowed; }

} // namespace plat
