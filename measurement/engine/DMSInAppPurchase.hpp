#pragma once
// In-app purchases: completed store transactions become "_iap" (or "_iapx" for a repurchase or restore) with
// the product, its price in millionths, quantity, value and currency, classified from the purchase records of
// the app's receipt (subscription, free trial, introductory offer). Also the product cache, the product
// requests and the fingerprint the purchase de-duplication stores.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Decimal.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/storekit/SKPaymentQueue.hpp"
#include "platform/storekit/SKProductsRequest.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class DMSUserDefaults;

// One purchase record of the receipt.
struct DMSInAppPurchaseItem {
    std::string productID;
    std::optional<std::string> transactionID;
    std::optional<std::string> originalTransactionID;
    std::optional<std::string> subscriptionExpirationDateIA5String;
    std::optional<int64_t> purchaseType;
    bool freeTrial = false;
    bool introductoryOffer = false;
};

using DMSProductsHandler = std::function<void(std::optional<std::map<std::string, plat::SKProduct>> products,
                                              std::optional<std::set<std::string>> invalidIdentifiers,
                                              std::optional<plat::Error> error)>;

class DMSProductsRequest : public plat::SKProductsRequestDelegate,
                           public std::enable_shared_from_this<DMSProductsRequest> {
public:
    static void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                      plat::DispatchQueuePtr queue, DMSProductsHandler handler);
    // None when the store request cannot be made.
    static std::shared_ptr<DMSProductsRequest> initWithProductIdentifiers(const std::set<std::string>& identifiers);
    void requestWithQueue(plat::DispatchQueuePtr queue, DMSProductsHandler handler);
    void productsRequest_didReceiveResponse(plat::SKProductsRequest& request,
                                            const plat::SKProductsResponse& response) override;
    void request_didFailWithError(plat::SKProductsRequest& request, const plat::Error& error) override;
    void clearInstance();

    explicit DMSProductsRequest(std::shared_ptr<plat::SKProductsRequest> request) : request_(std::move(request)) {}

private:
    std::mutex mutex_;
    std::shared_ptr<plat::SKProductsRequest> request_;
    DMSProductsHandler handler_;
    plat::DispatchQueuePtr queue_;
    // Alive from the request until its handler has run.
    std::shared_ptr<DMSProductsRequest> self_;
};

class DMSInAppPurchaseProductCache {
public:
    static constexpr const char* kLockQueueLabel = "com.razoza.rmp.measurement.iap-cache";
    static constexpr size_t kMaxEntries = 100;

    static DMSInAppPurchaseProductCache& sharedInstance();
    std::optional<plat::SKProduct> cachedProductForProductIdentifier(const std::string& identifier);
    void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers, plat::DispatchQueuePtr queue,
                                               DMSProductsHandler handler);
    // Both collections' sizes, read on the lock queue.
    std::pair<size_t, size_t> sizes();

    DMSInAppPurchaseProductCache();

private:
    void updateWithResponse(const std::map<std::string, plat::SKProduct>& products,
                            const std::set<std::string>& invalid);

    plat::DispatchQueuePtr lockQueue_;
    std::map<std::string, plat::SKProduct> validProducts_;
    std::set<std::string> invalidProductIdentifiers_;
};

class DMSInAppPurchaseTransactionReporter {
public:
    static DMSInAppPurchaseTransactionReporter& sharedInstance();
    void paymentQueue_updatedFilteredTransactions(const std::vector<plat::SKPaymentTransaction>& transactions);
    void reportTransactionsFromArray(const std::vector<plat::SKPaymentTransaction>& transactions);
    // 32 hexadecimal digits of the MD5 of a purchased transaction's identifier; none otherwise (21014-21017).
    static std::optional<std::string> transactionFingerprint(const plat::SKPaymentTransaction* transaction);
};

std::optional<plat::Dictionary> DMSInAppPurchaseEventParameters(const plat::SKProduct* product,
                                                                const plat::SKPaymentTransaction* transaction,
                                                                const std::optional<plat::Data>& receipt);
std::optional<DMSInAppPurchaseItem> DMSInAppPurchaseRecordAtOffset(const plat::Data& receipt, size_t offset,
                                                                   const std::string& productID);
std::optional<DMSInAppPurchaseItem> DMSParseInAppPurchaseRecord(const plat::Data& bytes, size_t offset,
                                                                const std::string& productID);
// Whether a record starts at the offset.
std::optional<plat::Data> DMSInAppRecordFieldAtOffset(const plat::Data& bytes, size_t offset);
// 0xFF in the pattern matches any byte; the last such byte is the length of the value after the pattern.
std::optional<plat::Data> DMSBytesAfterPattern(const std::vector<uint8_t>& pattern, const plat::Data& bytes,
                                               int64_t offset);
// quantity x price x 1,000,000, exact, truncated; none when it does not fit 64 bits or the price is no number.
std::optional<int64_t> DMSPurchaseValueInMicros(const plat::Decimal& price, int64_t quantity);
DMSUserDefaults& DMSPurchaseDatesStore();
