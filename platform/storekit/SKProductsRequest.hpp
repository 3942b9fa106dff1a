#pragma once
// Products and product requests of the store: a request asks for the descriptions of product identifiers and
// its delegate hears the response (products and the identifiers the store does not know) or a failure on the
// main queue. The driver (sim::ProductStore) plays the store's catalogue and writes the app's receipt; without a
// catalogue a started request waits until sim::Store answers or fails it.

#include "platform/foundation/Decimal.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace plat {

// A discounted price of a product (the introductory price). The runtime class "SKProductDiscount" exists
// with "price" once the store is used, as on systems that have discounts.
struct SKProductDiscount {
    std::optional<Decimal> price;
};

struct SKProduct {
    std::string productIdentifier;
    std::optional<Decimal> price;
    // The currency code of the price locale.
    std::optional<std::string> currencyCode;
    std::optional<std::string> localizedTitle;
    std::optional<SKProductDiscount> introductoryPrice;
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
    // After the response (not after a failure).
    virtual void requestDidFinish(SKProductsRequest&) {}
};

class SKProductsRequest : public std::enable_shared_from_this<SKProductsRequest> {
public:
    static std::shared_ptr<SKProductsRequest> initWithProductIdentifiers(std::set<std::string> identifiers);
    const std::set<std::string>& productIdentifiers() const { return identifiers_; }
    // Held weakly.
    void setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate);
    std::shared_ptr<SKProductsRequestDelegate> delegate() const;
    // The store answers on the main queue; a started request keeps itself alive until then. Starting twice, or
    // after cancel, does nothing.
    void start();
    void cancel();
    bool isStarted() const;
    bool isCancelled() const;

    explicit SKProductsRequest(std::set<std::string> identifiers) : identifiers_(std::move(identifiers)) {}

private:
    std::set<std::string> identifiers_;
    mutable std::mutex mutex_;
    std::weak_ptr<SKProductsRequestDelegate> delegate_;
    bool started_ = false;
    bool cancelled_ = false;
};

namespace sim {

class ProductStore {
public:
    // The products the store describes; from then on a started request is answered from them at once, the rest
    // invalid.
    static void setCatalogue(std::vector<SKProduct> products);
    // The next `count` requests fail with the error instead.
    static void failNextRequests(int count, Error error);
    static int requestCount();
    // Writes the app's receipt where the main bundle's receipt URL points (no bytes: removes it).
    static void installReceipt(const Data& bytes);
};

} // namespace sim
} // namespace plat
