#include "RadIrivozSDK/Source/RadIrivozTrackIAP.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "platform/runtime/Runtime.hpp"

bool RadIrivozTrackIAP::canTrack() {
    return plat::rt::getClass("SKPaymentQueue") && plat::SKPaymentQueue::canMakePayments();
}

std::shared_ptr<RadIrivozTrackIAP> RadIrivozTrackIAP::init() {
    std::shared_ptr<RadIrivozTrackIAP> tracker(new RadIrivozTrackIAP());
    plat::SKPaymentQueue::defaultQueue().addTransactionObserver(tracker);
    return tracker;
}

RadIrivozTrackIAP::~RadIrivozTrackIAP() {
    plat::SKPaymentQueue::defaultQueue().removeTransactionObserver(this);
    std::lock_guard lock(mutex_);
    for (auto& entry : pending_) {
        entry.request->setDelegate(nullptr);
        entry.request->cancel();
    }
}

void RadIrivozTrackIAP::paymentQueue_updatedTransactions(plat::SKPaymentQueue&,
                                                         const std::vector<plat::SKPaymentTransaction>& transactions) {
    std::map<std::string, int64_t> quantities;
    for (const auto& transaction : transactions) {
        if (transaction.transactionState == plat::SKPaymentTransactionState::purchased) {
            quantities[transaction.payment.productIdentifier] += transaction.payment.quantity;
        }
    }
    if (!quantities.empty()) {
        getProductInfo(std::move(quantities));
    }
}

void RadIrivozTrackIAP::getProductInfo(std::map<std::string, int64_t> quantities) {
    if (!plat::rt::getClass("SKProductsRequest")) {
        return;
    }
    std::set<std::string> identifiers;
    for (const auto& [identifier, quantity] : quantities) {
        identifiers.insert(identifier);
    }
    auto request = plat::SKProductsRequest::initWithProductIdentifiers(std::move(identifiers));
    request->setDelegate(shared_from_this());
    {
        std::lock_guard lock(mutex_);
        pending_.push_back({request, std::move(quantities)});
    }
    request->start();
}

void RadIrivozTrackIAP::productsRequest_didReceiveResponse(plat::SKProductsRequest& request,
                                                           const plat::SKProductsResponse& response) {
    std::map<std::string, int64_t> quantities;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(pending_.begin(), pending_.end(),
                               [&](const PendingProducts& p) { return p.request.get() == &request; });
        if (it == pending_.end()) {
            return;
        }
        quantities = std::move(it->quantities);
        pending_.erase(it);
    }
    plat::Array purchases;
    for (const auto& product : response.products) {
        auto it = quantities.find(product.productIdentifier);
        // Without a price there is no amount to report.
        if (it == quantities.end() || !product.price) {
            continue;
        }
        plat::Dictionary record{{"sku", plat::Value(product.productIdentifier)},
                                {"amount", product.price->numberValue()},
                                {"iso", plat::Value(product.currencyCode.value_or(""))}};
        if (it->second != 1) {
            record.set("count", plat::Value(it->second));
        }
        purchases.push_back(plat::Value(std::move(record)));
    }
    if (!purchases.empty()) {
        RadIrivoz::sendPurchases(purchases);
    }
}

void RadIrivozTrackIAP::request_didFailWithError(plat::SKProductsRequest& request, const plat::Error&) {
    std::lock_guard lock(mutex_);
    std::erase_if(pending_, [&](const PendingProducts& p) { return p.request.get() == &request; });
}
