#include "platform/storekit/SKPaymentQueue.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"

#include <atomic>

namespace plat {

namespace {

std::atomic<bool>& storeCanMakePayments() {
    static std::atomic<bool> allowed{true};
    return allowed;
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

void sim::Store::install() {
    (void)SKPaymentQueue::defaultQueue();
    if (!rt::getClass("SKProductsRequest")) {
        rt::registerClass("SKProductsRequest");
    }
}

void sim::Store::updateTransactions(std::vector<SKPaymentTransaction> transactions) {
    SKPaymentQueue::defaultQueue().deliverTransactions(std::move(transactions));
}

void sim::Store::setCanMakePayments(bool allowed) { storeCanMakePayments() = allowed; }

} // namespace plat
