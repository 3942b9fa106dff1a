#pragma once
// Completed in-app purchases for the push player: watches the store's payment queue, sums the purchased
// quantities per product, asks the store for their prices and hands the records (sku, amount, iso, and count
// when not 1) to the facade. The store is optional: it is found by class name.

#include "platform/storekit/SKPaymentQueue.hpp"

#include <map>
#include <memory>
#include <set>
#include <mutex>
#include <vector>

class RadIrivozTrackIAP : public plat::SKPaymentTransactionObserver,
                          public plat::SKProductsRequestDelegate,
                          public std::enable_shared_from_this<RadIrivozTrackIAP> {
public:
    // The store exists and allows payments.
    static bool canTrack();
    // A tracker observing the default payment queue.
    static std::shared_ptr<RadIrivozTrackIAP> init();
    ~RadIrivozTrackIAP() override;

    void paymentQueue_updatedTransactions(plat::SKPaymentQueue& queue,
                                          const std::vector<plat::SKPaymentTransaction>& transactions) override;
    void productsRequest_didReceiveResponse(plat::SKProductsRequest& request,
                                            const plat::SKProductsResponse& response) override;
    void request_didFailWithError(plat::SKProductsRequest& request, const plat::Error& error) override;

private:
    RadIrivozTrackIAP() = default;
    // Asks for the prices of these purchases: product identifier -> summed quantity.
    void getProductInfo(std::map<std::string, int64_t> quantities);

    struct PendingProducts {
        std::shared_ptr<plat::SKProductsRequest> request;
        std::map<std::string, int64_t> quantities;
    };
    std::mutex mutex_;
    // Each request keeps the purchases it was made for, so a newer update cannot take their place.
    std::vector<PendingProducts> pending_;
};
