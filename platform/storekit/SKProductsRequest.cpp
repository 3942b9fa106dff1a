#include "platform/storekit/SKProductsRequest.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Runtime.hpp"

#include <fstream>
#include <map>

namespace plat {

namespace {

struct ProductStoreState {
    std::mutex mutex;
    std::map<std::string, SKProduct> catalogue;
    int failures = 0;
    Error failure;
    int requests = 0;
};

ProductStoreState& productStoreState() {
    static NeverDestroyed<ProductStoreState> state;
    return *state;
}

void registerProductDiscountClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!rt::getClass("SKProductDiscount")) {
            rt::Class* cls = rt::registerClass("SKProductDiscount");
            rt::addMethod(cls, "price", [](rt::Object&) -> Value { return Value(); });
        }
    });
}

} // namespace

std::shared_ptr<SKProductsRequest> SKProductsRequest::initWithProductIdentifiers(std::set<std::string> identifiers) {
    registerProductDiscountClass();
    return std::make_shared<SKProductsRequest>(std::move(identifiers));
}

void SKProductsRequest::setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

std::shared_ptr<SKProductsRequestDelegate> SKProductsRequest::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void SKProductsRequest::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}

bool SKProductsRequest::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void SKProductsRequest::start() {
    auto& state = productStoreState();
    std::optional<Error> failure;
    SKProductsResponse response;
    {
        std::lock_guard lock(state.mutex);
        ++state.requests;
        if (state.failures > 0) {
            --state.failures;
            failure = state.failure;
        } else {
            for (const auto& identifier : identifiers_) {
                auto found = state.catalogue.find(identifier);
                if (found != state.catalogue.end()) {
                    response.products.push_back(found->second);
                } else {
                    response.invalidProductIdentifiers.push_back(identifier);
                }
            }
        }
    }
    auto self = shared_from_this();
    DispatchQueue::main()->async([self, failure, response] {
        auto delegate = self->delegate();
        if (!delegate || self->isCancelled()) {
            return;
        }
        if (failure) {
            delegate->request_didFailWithError(*self, *failure);
        } else {
            delegate->productsRequest_didReceiveResponse(*self, response);
        }
    });
}

namespace sim {

void ProductStore::setCatalogue(std::vector<SKProduct> products) {
    registerProductDiscountClass();
    auto& state = productStoreState();
    std::lock_guard lock(state.mutex);
    state.catalogue.clear();
    for (auto& product : products) {
        std::string identifier = product.productIdentifier;
        state.catalogue[identifier] = std::move(product);
    }
}

void ProductStore::failNextRequests(int count, Error error) {
    auto& state = productStoreState();
    std::lock_guard lock(state.mutex);
    state.failures = count;
    state.failure = std::move(error);
}

int ProductStore::requestCount() {
    auto& state = productStoreState();
    std::lock_guard lock(state.mutex);
    return state.requests;
}

void ProductStore::installReceipt(const Data& bytes) {
    const std::string path = Bundle::main()->storeReceiptURL();
    if (bytes.empty()) {
        std::remove(path.c_str());
        return;
    }
    (void)FileManager::defaultManager().createDirectory(String::deletingLastPathComponent(path), true);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

} // namespace sim
} // namespace plat
