// In-app purchase reporting: the product cache and requests, the event parameters in exact decimal
// millionths, and the classification read from the receipt's byte patterns. Receipts are outside data: every
// read is checked against the bytes it reads from.

#include "measurement/engine/DMSInAppPurchase.hpp"

#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "measurement/storage/DMSUserDefaults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"

#include <fstream>
#include <iterator>
#include <limits>

namespace {

DMSMonitor& purchaseMonitor() {
    return DMSMeasurement::monitor();
}

constexpr uint8_t kAnyByte = 0xFF;

std::vector<uint8_t> purchaseFieldPattern(uint8_t type, uint8_t tag) {
    return {0x02, 0x02, 0x06, type, 0x02, 0x01, kAnyByte, 0x04, kAnyByte, tag, kAnyByte};
}

enum PurchaseField { kProductID, kTransactionID, kOriginalTransactionID, kExpiration, kPurchaseType, kFreeTrial,
                     kIntroductoryOffer, kFieldCount };

const std::vector<uint8_t>& purchasePattern(int field) {
    static const std::vector<uint8_t> patterns[kFieldCount] = {
        purchaseFieldPattern(0xA6, 0x0C), purchaseFieldPattern(0xA7, 0x0C), purchaseFieldPattern(0xA9, 0x0C),
        purchaseFieldPattern(0xAC, 0x16), purchaseFieldPattern(0xAB, 0x02), purchaseFieldPattern(0xB1, 0x02),
        purchaseFieldPattern(0xB7, 0x02)};
    return patterns[field];
}

std::optional<std::string> purchaseText(const std::optional<plat::Data>& bytes) {
    if (!bytes || bytes->empty()) {
        return std::nullopt;
    }
    return std::string(bytes->begin(), bytes->end());
}

// A one-byte flag of the record: YES for 1, NO for 0 and for anything else (reported).
bool purchaseFlag(const std::optional<plat::Data>& bytes, int64_t lengthCode, int64_t valueCode,
                  const char* lengthMessage, const char* valueMessage) {
    if (!bytes) {
        return false;
    }
    if (bytes->size() != 1) {
        purchaseMonitor().logWithLevel(5, lengthCode, lengthMessage, static_cast<int64_t>(bytes->size()));
        return false;
    }
    const uint8_t value = (*bytes)[0];
    if (value > 1) {
        purchaseMonitor().logWithLevel(5, valueCode, valueMessage, static_cast<int64_t>(value));
    }
    return value == 1;
}

std::optional<plat::Data> purchaseReadReceipt() {
    auto path = DMSAEU::appStoreRURL();
    if (!path || path->empty()) {
        return std::nullopt;
    }
    std::ifstream in(*path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    plat::Data bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes;
}

// Money of a parameter: the price x 10^6, truncated; none when not a finite number within 64 bits.
std::optional<int64_t> purchaseMicros(const plat::Decimal& price) {
    return DMSPurchaseValueInMicros(price, 1);
}

} // namespace

// ---- receipt patterns --------------------------------------------------------------------------------------

std::optional<plat::Data> DMSBytesAfterPattern(const std::vector<uint8_t>& pattern, const plat::Data& bytes,
                                               int64_t offset) {
    if (offset < 0 || pattern.empty()) {
        return std::nullopt;
    }
    const auto start = static_cast<size_t>(offset);
    if (start > bytes.size() || bytes.size() - start < pattern.size()) {
        return std::nullopt;
    }
    uint8_t captured = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const uint8_t b = bytes[start + i];
        if (pattern[i] == kAnyByte) {
            captured = b;
        } else if (pattern[i] != b) {
            return std::nullopt;
        }
    }
    if (captured == 0) {
        return std::nullopt;
    }
    if (captured >= 0x80) {
        // A long-form DER length: read as a count, it only gives a wrong value, never a read past the bytes.
        purchaseMonitor().logWithLevel(5, 39027, "Data is longer than 127");
    }
    const size_t valueStart = start + pattern.size();
    if (bytes.size() - valueStart < captured) {
        return std::nullopt;
    }
    return plat::Data(bytes.begin() + static_cast<std::ptrdiff_t>(valueStart),
                      bytes.begin() + static_cast<std::ptrdiff_t>(valueStart + captured));
}

std::optional<plat::Data> DMSInAppRecordFieldAtOffset(const plat::Data& bytes, size_t offset) {
    static const std::vector<uint8_t> recordStart = {0x02, 0x01, 0x11, 0x02, 0x01, kAnyByte, 0x04};
    // The record start's last byte is a fixed one: the version captured before it is the count.
    if (offset > bytes.size() || bytes.size() - offset < recordStart.size()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < recordStart.size(); ++i) {
        if (recordStart[i] != kAnyByte && recordStart[i] != bytes[offset + i]) {
            return std::nullopt;
        }
    }
    return plat::Data(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                      bytes.begin() + static_cast<std::ptrdiff_t>(offset + recordStart.size()));
}

std::optional<DMSInAppPurchaseItem> DMSParseInAppPurchaseRecord(const plat::Data& bytes, size_t offset,
                                                                const std::string& productID) {
    if (!DMSInAppRecordFieldAtOffset(bytes, offset)) {
        return std::nullopt;
    }
    std::optional<plat::Data> found[kFieldCount];
    for (size_t at = offset + 1; at < bytes.size(); ++at) {
        if (DMSInAppRecordFieldAtOffset(bytes, at)) {
            break;
        }
        for (int field = 0; field < kFieldCount; ++field) {
            if (found[field]) {
                continue;
            }
            found[field] = DMSBytesAfterPattern(purchasePattern(field), bytes, static_cast<int64_t>(at));
            if (field == kProductID && found[field] && purchaseText(found[field]) != productID) {
                return std::nullopt;
            }
        }
    }
    if (!found[kProductID]) {
        purchaseMonitor().logWithLevel(5, 39024, "Subdata does not contain PI");
        return std::nullopt;
    }
    DMSInAppPurchaseItem item;
    item.productID = productID;
    item.transactionID = purchaseText(found[kTransactionID]);
    item.originalTransactionID = purchaseText(found[kOriginalTransactionID]);
    item.subscriptionExpirationDateIA5String = purchaseText(found[kExpiration]);
    if (found[kPurchaseType]) {
        if (found[kPurchaseType]->size() == 1) {
            item.purchaseType = (*found[kPurchaseType])[0];
        } else {
            purchaseMonitor().logWithLevel(5, 39030, "Subdata PT unexpected length",
                                           static_cast<int64_t>(found[kPurchaseType]->size()));
        }
    }
    item.freeTrial = purchaseFlag(found[kFreeTrial], 39026, 39025, "Subdata FT unexpected length",
                                  "Subdata FT unexpected value");
    item.introductoryOffer = purchaseFlag(found[kIntroductoryOffer], 39029, 39028, "Subdata IO unexpected length",
                                          "Subdata IO unexpected value");
    return item;
}

std::optional<DMSInAppPurchaseItem> DMSInAppPurchaseRecordAtOffset(const plat::Data& receipt, size_t offset,
                                                                   const std::string& productID) {
    auto item = DMSParseInAppPurchaseRecord(receipt, offset, productID);
    if (item && item->productID == productID) {
        return item;
    }
    return std::nullopt;
}

// ---- money -------------------------------------------------------------------------------------------------

std::optional<int64_t> DMSPurchaseValueInMicros(const plat::Decimal& price, int64_t quantity) {
    if (price.isNaN()) {
        return std::nullopt;
    }
    auto scaled = price.multiplyingByPowerOf10(6);
    if (!scaled) {
        return std::nullopt;
    }
    // The decimal's own digits, as text, multiplied exactly in 128 bits; the fraction is cut off at the end.
    const std::string text = scaled->description();
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) {
        ++i;
    }
    unsigned __int128 digits = 0;
    int fraction = -1;
    constexpr unsigned __int128 kLimit = static_cast<unsigned __int128>(1) << 100;
    for (; i < text.size(); ++i) {
        if (text[i] == '.') {
            fraction = 0;
            continue;
        }
        if (text[i] < '0' || text[i] > '9' || digits > kLimit) {
            return std::nullopt;
        }
        digits = digits * 10 + static_cast<unsigned>(text[i] - '0');
        if (fraction >= 0) {
            ++fraction;
        }
    }
    const bool negativeQuantity = quantity < 0;
    const auto count = static_cast<unsigned __int128>(negativeQuantity ? -static_cast<__int128>(quantity) : quantity);
    if (count != 0 && digits > (static_cast<unsigned __int128>(1) << 126) / count) {
        return std::nullopt;
    }
    unsigned __int128 product = digits * count;
    for (int f = 0; f < fraction; ++f) {
        product /= 10;
    }
    const bool resultNegative = negative != negativeQuantity && product != 0;
    if (product > static_cast<unsigned __int128>(std::numeric_limits<int64_t>::max()) + (resultNegative ? 1 : 0)) {
        return std::nullopt;
    }
    return resultNegative ? static_cast<int64_t>(-static_cast<__int128>(product)) : static_cast<int64_t>(product);
}

DMSUserDefaults& DMSPurchaseDatesStore() {
    static plat::NeverDestroyed<DMSUserDefaults> store(std::string("com.razoza.rmp.measurement.dates"));
    return *store;
}

// ---- classification ----------------------------------------------------------------------------------------

namespace {

void purchaseStoreDate(const std::string& productID, double date) {
    if (date > 0) {
        DMSPurchaseDatesStore().setObject(plat::Value(date), plat::Value(productID));
        DMSPurchaseDatesStore().synchronize();
    }
}

void purchaseClassify(plat::Dictionary& parameters, const std::string& productID, const std::string& transactionID,
                      const std::string& originalID, double date, const plat::Data& receipt) {
    auto& log = purchaseMonitor();
    if (receipt.empty()) {
        return;
    }
    const auto transactionsDiffer = !transactionID.empty() && !originalID.empty() && transactionID != originalID;
    if (auto cached = DMSPurchaseDatesStore().objectForKey(plat::Value(productID)); cached && cached->isNumber()) {
        const double known = cached->doubleValue();
        if (known != date) {
            if (date > known) {
                purchaseStoreDate(productID, date);
            }
            log.logWithLevel(5, 40014,
                             "Found a transaction in the cache. Transaction will be reported as an auto-renewable "
                             "subscription");
            parameters.set("subscription", plat::Value(int64_t{1}));
        } else {
            log.logWithLevel(5, 40013, "Found a repurchase of an auto-renewable subscription or a non-consumable product");
            parameters.set("subscription", plat::Value(int64_t{1}));
            parameters.set("invalid", plat::Value(int64_t{1}));
        }
        return;
    }
    std::optional<DMSInAppPurchaseItem> record;
    size_t at = 0;
    for (; at < receipt.size(); ++at) {
        if (DMSInAppRecordFieldAtOffset(receipt, at) && (record = DMSInAppPurchaseRecordAtOffset(receipt, at, productID))) {
            break;
        }
    }
    if (!record) {
        log.logWithLevel(2, 40004,
                         "Cannot find any purchase of the product. The transaction will be reported as consumable by "
                         "default.",
                         productID);
        return;
    }
    if (!record->subscriptionExpirationDateIA5String) {
        if (transactionsDiffer) {
            log.logWithLevel(4, 40005, "Found a restore/repurchase of a non-consumable product");
            parameters.set("subscription", plat::Value(int64_t{1}));
            parameters.set("invalid", plat::Value(int64_t{1}));
        } else if (record->transactionID && record->originalTransactionID &&
                   *record->transactionID == *record->originalTransactionID) {
            log.logWithLevel(5, 40006,
                             "Found the first original purchase of any product. Transaction will be reported as "
                             "consumable by default");
            if (record->purchaseType == 2) {
                parameters.set("subscription", plat::Value(int64_t{1}));
            }
        } else {
            log.logWithLevel(2, 40007,
                             "The transaction ID and original transaction ID are not the same in the receipt. "
                             "Transaction will be reported as consumable by default");
        }
        return;
    }
    if (!record->freeTrial && !record->introductoryOffer) {
        purchaseStoreDate(productID, date);
        log.logWithLevel(5, 40008, "Transaction will be reported as an auto-renewable subscription");
        parameters.set("subscription", plat::Value(int64_t{1}));
        return;
    }
    for (size_t next = at + 1; next < receipt.size(); ++next) {
        if (!DMSInAppRecordFieldAtOffset(receipt, next)) {
            continue;
        }
        auto later = DMSInAppPurchaseRecordAtOffset(receipt, next, productID);
        if (later && !later->freeTrial && !later->introductoryOffer) {
            purchaseStoreDate(productID, date);
            log.logWithLevel(5, 40010, "Transaction will be reported as a renewing auto-renewable subscription");
            parameters.set("subscription", plat::Value(int64_t{1}));
            return;
        }
    }
    parameters.set("subscription", plat::Value(int64_t{1}));
    if (record->freeTrial) {
        parameters.set("free_trial", plat::Value(int64_t{1}));
        if (transactionsDiffer) {
            log.logWithLevel(4, 40011, "Found a repurchase of a free-trial auto-renewable subscription");
            parameters.set("invalid", plat::Value(int64_t{1}));
            return;
        }
        log.logWithLevel(5, 40009, "Transaction will be reported as a free-trial auto-renewable subscription with price 0");
    }
    if (DMSMeasurement::remoteConfig().isIAPIntroductoryOfferEnabled() && record->introductoryOffer) {
        parameters.set("price_is_discounted", plat::Value(int64_t{1}));
        log.logWithLevel(5, 40018, "Transaction will be reported as introductory offer of an auto-renewable subscription");
    }
}

bool purchaseHasOne(const plat::Dictionary& parameters, std::string_view key) {
    const plat::Value* value = parameters.find(key);
    return value && value->isNumber() && value->integerValue() == 1;
}

} // namespace

std::optional<plat::Dictionary> DMSInAppPurchaseEventParameters(const plat::SKProduct* product,
                                                                const plat::SKPaymentTransaction* transaction,
                                                                const std::optional<plat::Data>& receipt) {
    auto& log = purchaseMonitor();
    if (!product) {
        log.logWithLevel(1, 40000, "IAP Transaction cannot be created. Product cannot be nil.");
        return std::nullopt;
    }
    if (product->productIdentifier.empty()) {
        log.logWithLevel(1, 40001, "IAP Transaction cannot be created. Product ID cannot be empty or nil.");
        return std::nullopt;
    }
    if (!transaction) {
        log.logWithLevel(1, 40002, "IAP Transaction cannot be created. Transaction cannot be nil.");
        return std::nullopt;
    }
    const std::string& productID = product->productIdentifier;
    const int64_t quantity = transaction->payment.quantity;
    plat::Dictionary parameters;
    parameters.set("product_id", plat::Value(productID));
    if (product->price) {
        if (auto price = purchaseMicros(*product->price)) {
            parameters.set("price", plat::Value(*price));
        }
        if (quantity != 0) {
            if (auto value = DMSPurchaseValueInMicros(*product->price, quantity)) {
                parameters.set("value", plat::Value(*value));
                parameters.set("quantity", plat::Value(quantity));
            }
        }
    }
    if (product->currencyCode && !product->currencyCode->empty()) {
        parameters.set("currency", plat::Value(*product->currencyCode));
    }
    if (product->localizedTitle) {
        parameters.set("product_name", plat::Value(*product->localizedTitle));
    }
    DMSRemoteConfig& config = DMSMeasurement::remoteConfig();
    if (config.isIAPSubscriptionNonConsumableReportEnabled()) {
        const std::string transactionID = transaction->transactionIdentifier.value_or("");
        if (transactionID.empty()) {
            log.logWithLevel(4, 40003, "Transaction ID cannot be nil or empty.");
        }
        std::string originalID;
        if (transaction->originalTransaction && transaction->originalTransaction->transactionIdentifier) {
            originalID = *transaction->originalTransaction->transactionIdentifier;
        }
        const double date = transaction->transactionDate ? transaction->transactionDate->timeIntervalSince1970() : 0;
        purchaseClassify(parameters, productID, transactionID, originalID, date, receipt.value_or(plat::Data{}));
    }
    if (purchaseHasOne(parameters, "free_trial")) {
        if (const plat::Value* price = parameters.find("price")) {
            parameters.set("original_price", *price);
        }
        parameters.set("price_is_discounted", plat::Value(int64_t{1}));
        parameters.set("price", plat::Value(int64_t{0}));
        parameters.set("value", plat::Value(int64_t{0}));
    } else if (purchaseHasOne(parameters, "price_is_discounted") && config.isIAPIntroductoryOfferEnabled() &&
               plat::rt::getClass("SKProductDiscount") && product->introductoryPrice &&
               product->introductoryPrice->price) {
        const plat::Decimal& introductory = *product->introductoryPrice->price;
        if (const plat::Value* price = parameters.find("price")) {
            parameters.set("original_price", *price);
        }
        if (auto micros = purchaseMicros(introductory)) {
            parameters.set("price", plat::Value(*micros));
        }
        if (quantity != 0) {
            if (auto value = DMSPurchaseValueInMicros(introductory, quantity)) {
                parameters.set("value", plat::Value(*value));
            }
        }
    }
    for (const char* required : {"price", "value", "currency", "product_id"}) {
        if (!parameters.find(required)) {
            return std::nullopt;
        }
    }
    return parameters;
}

// ---- the product cache and requests ------------------------------------------------------------------------

void DMSProductsRequest::requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                               plat::DispatchQueuePtr queue,
                                                               DMSProductsHandler handler) {
    if (!queue || !handler) {
        return;
    }
    auto request = initWithProductIdentifiers(identifiers);
    if (!request) {
        queue->async([handler] {
            handler(std::nullopt, std::nullopt, dms_errorWithCode(1, "Invalid product identifiers."));
        });
        return;
    }
    request->requestWithQueue(std::move(queue), std::move(handler));
}

std::shared_ptr<DMSProductsRequest> DMSProductsRequest::initWithProductIdentifiers(
    const std::set<std::string>& identifiers) {
    if (identifiers.empty()) {
        return nullptr;
    }
    auto request = plat::SKProductsRequest::initWithProductIdentifiers(identifiers);
    return request ? std::make_shared<DMSProductsRequest>(std::move(request)) : nullptr;
}

void DMSProductsRequest::requestWithQueue(plat::DispatchQueuePtr queue, DMSProductsHandler handler) {
    if (!queue || !handler) {
        return;
    }
    std::shared_ptr<plat::SKProductsRequest> request;
    {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
        queue_ = std::move(queue);
        self_ = shared_from_this();
        request = request_;
    }
    request->setDelegate(shared_from_this());
    request->start();
}

void DMSProductsRequest::productsRequest_didReceiveResponse(plat::SKProductsRequest&,
                                                            const plat::SKProductsResponse& response) {
    std::lock_guard lock(mutex_);
    if (!handler_ || !queue_) {
        return;
    }
    std::map<std::string, plat::SKProduct> products;
    for (const auto& product : response.products) {
        if (!product.productIdentifier.empty()) {
            products[product.productIdentifier] = product;
        }
    }
    std::set<std::string> invalid(response.invalidProductIdentifiers.begin(), response.invalidProductIdentifiers.end());
    auto self = self_;
    queue_->async([self, handler = handler_, products = std::move(products), invalid = std::move(invalid)] {
        handler(products, invalid, std::nullopt);
        self->clearInstance();
    });
}

void DMSProductsRequest::request_didFailWithError(plat::SKProductsRequest&, const plat::Error& error) {
    std::lock_guard lock(mutex_);
    if (!handler_ || !queue_) {
        return;
    }
    auto self = self_;
    queue_->async([self, handler = handler_, error] {
        handler(std::nullopt, std::nullopt, error);
        self->clearInstance();
    });
}

void DMSProductsRequest::clearInstance() {
    std::shared_ptr<DMSProductsRequest> keep;
    std::lock_guard lock(mutex_);
    request_.reset();
    handler_ = nullptr;
    queue_.reset();
    keep = std::move(self_);
}

DMSInAppPurchaseProductCache& DMSInAppPurchaseProductCache::sharedInstance() {
    static plat::NeverDestroyed<DMSInAppPurchaseProductCache> cache;
    return *cache;
}

DMSInAppPurchaseProductCache::DMSInAppPurchaseProductCache()
    : lockQueue_(plat::DispatchQueue::makeSerial(kLockQueueLabel)) {}

std::optional<plat::SKProduct> DMSInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& identifier) {
    return lockQueue_->sync([&]() -> std::optional<plat::SKProduct> {
        auto found = validProducts_.find(identifier);
        return found == validProducts_.end() ? std::nullopt : std::optional<plat::SKProduct>(found->second);
    });
}

std::pair<size_t, size_t> DMSInAppPurchaseProductCache::sizes() {
    return lockQueue_->sync([&] { return std::make_pair(validProducts_.size(), invalidProductIdentifiers_.size()); });
}

void DMSInAppPurchaseProductCache::updateWithResponse(const std::map<std::string, plat::SKProduct>& products,
                                                      const std::set<std::string>& invalid) {
    for (const auto& [identifier, product] : products) {
        validProducts_[identifier] = product;
    }
    for (const auto& identifier : invalid) {
        validProducts_.erase(identifier);
        invalidProductIdentifiers_.insert(identifier);
    }
    for (const auto& [identifier, product] : products) {
        (void)product;
        invalidProductIdentifiers_.erase(identifier);
    }
    if (validProducts_.size() + invalidProductIdentifiers_.size() > kMaxEntries) {
        validProducts_ = products;
        invalidProductIdentifiers_ = invalid;
    }
}

void DMSInAppPurchaseProductCache::requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                                         plat::DispatchQueuePtr queue,
                                                                         DMSProductsHandler handler) {
    if (!queue || !handler) {
        return;
    }
    DMSProductsRequest::requestProductsWithProductIdentifiers(
        identifiers, lockQueue_,
        [this, queue, handler](std::optional<std::map<std::string, plat::SKProduct>> products,
                               std::optional<std::set<std::string>> invalid, std::optional<plat::Error> error) {
            updateWithResponse(products.value_or(std::map<std::string, plat::SKProduct>{}),
                               invalid.value_or(std::set<std::string>{}));
            queue->async([handler, products, invalid, error] { handler(products, invalid, error); });
        });
}

// ---- the reporter ------------------------------------------------------------------------------------------

DMSInAppPurchaseTransactionReporter& DMSInAppPurchaseTransactionReporter::sharedInstance() {
    static plat::NeverDestroyed<DMSInAppPurchaseTransactionReporter> reporter;
    return *reporter;
}

std::optional<std::string> DMSInAppPurchaseTransactionReporter::transactionFingerprint(
    const plat::SKPaymentTransaction* transaction) {
    auto& log = purchaseMonitor();
    if (!transaction) {
        log.logWithLevel(2, 21014, "Transaction is nil");
        return std::nullopt;
    }
    if (transaction->transactionState != plat::SKPaymentTransactionState::purchased) {
        return std::nullopt;
    }
    const int64_t code = transaction->error ? transaction->error->code : 0;
    if (!transaction->transactionIdentifier) {
        log.logWithLevel(2, 21015, "Transaction identifier is nil. Code", code);
        return std::nullopt;
    }
    const std::string& identifier = *transaction->transactionIdentifier;
    if (identifier.empty()) {
        log.logWithLevel(2, 21016, "Transaction identifier is empty. Code", code);
        return std::nullopt;
    }
    if (identifier.find_first_not_of("0-") == std::string::npos) {
        log.logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", code);
        return std::nullopt;
    }
    return dms_MD5String(identifier);
}

namespace {

// A purchase that was let through the duplicate check but never reported must not be dropped as a duplicate
// when the store delivers it again.
void purchaseForgetUnreported(const std::vector<plat::SKPaymentTransaction>& transactions) {
    std::vector<std::string> fingerprints;
    for (const auto& transaction : transactions) {
        if (auto fingerprint = DMSInAppPurchaseTransactionReporter::transactionFingerprint(&transaction)) {
            fingerprints.push_back(*fingerprint);
        }
    }
    if (!fingerprints.empty() && DMSMeasurement::hasSharedInstance()) {
        DMSMeasurement::sharedInstance()->forgetPurchaseFingerprints(std::move(fingerprints));
    }
}

} // namespace

void DMSInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<plat::SKPaymentTransaction>& transactions) {
    const std::optional<plat::Data> receipt = purchaseReadReceipt();
    std::vector<plat::SKPaymentTransaction> unreported;
    for (const auto& transaction : transactions) {
        auto product = DMSInAppPurchaseProductCache::sharedInstance().cachedProductForProductIdentifier(
            transaction.payment.productIdentifier);
        auto parameters = DMSInAppPurchaseEventParameters(product ? &*product : nullptr, &transaction, receipt);
        if (!parameters || parameters->empty()) {
            unreported.push_back(transaction);
            continue;
        }
        std::string name = "_iap";
        if (purchaseHasOne(*parameters, "invalid")) {
            parameters->erase("invalid");
            name = "_iapx";
        }
        DMSAnalytics::logInternalEventWithOrigin("auto", name, *parameters);
    }
    purchaseForgetUnreported(unreported);
}

void DMSInAppPurchaseTransactionReporter::paymentQueue_updatedFilteredTransactions(
    const std::vector<plat::SKPaymentTransaction>& transactions) {
    std::vector<plat::SKPaymentTransaction> kept;
    std::set<std::string> unknown;
    auto& cache = DMSInAppPurchaseProductCache::sharedInstance();
    for (const auto& transaction : transactions) {
        const std::string& identifier = transaction.payment.productIdentifier;
        if (transaction.transactionState != plat::SKPaymentTransactionState::purchased || identifier.empty()) {
            continue;
        }
        kept.push_back(transaction);
        if (!cache.cachedProductForProductIdentifier(identifier)) {
            unknown.insert(identifier);
        }
    }
    if (kept.empty()) {
        return;
    }
    if (!unknown.empty()) {
        cache.requestProductsWithProductIdentifiers(
            unknown, plat::DispatchQueue::global(plat::QueuePriority::defaultPriority),
            [this, kept](std::optional<std::map<std::string, plat::SKProduct>> products,
                         std::optional<std::set<std::string>>, std::optional<plat::Error> error) {
                if (!error || (products && !products->empty())) {
                    reportTransactionsFromArray(kept);
                    return;
                }
                purchaseMonitor().logWithLevel(1, 21027, "Cannot request product information. Error", *error);
                purchaseForgetUnreported(kept);
            });
        return;
    }
    plat::DispatchQueue::global(plat::QueuePriority::defaultPriority)->async([this, kept] {
        reportTransactionsFromArray(kept);
    });
}
