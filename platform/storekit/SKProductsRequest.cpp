#include "platform/storekit/SKProductsRequest.hpp"
#include "platform/storekit/SKPaymentQueue.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>
#include <fstream>
#include <map>

namespace plat {

namespace {

struct ProductStoreState {
    std::mutex mutex;
    std::map<std::string, SKProduct> catalogue;
    bool hasCatalogue = false;
    // Started requests waiting for sim::Store's answer, oldest first.
    std::vector<std::shared_ptr<SKProductsRequest>> pending;
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

// Takes the request out of the pending list; false when it was not there (never started, answered or
// cancelled).
bool takePendingProductRequest(const SKProductsRequest* request) {
    auto& state = productStoreState();
    std::lock_guard lock(state.mutex);
    auto it = std::find_if(state.pending.begin(), state.pending.end(),
                           [request](const auto& r) { return r.get() == request; });
    if (it == state.pending.end()) {
        return false;
    }
    state.pending.erase(it);
    return true;
}

template <class Answer> void answerProductRequest(const std::shared_ptr<SKProductsRequest>& request, Answer answer) {
    DispatchQueue::main()->async([request, answer = std::move(answer)] {
        if (request->isCancelled()) {
            return;
        }
        if (auto delegate = request->delegate()) {
            answer(*delegate, *request);
        }
    });
}

void answerWithResponse(const std::shared_ptr<SKProductsRequest>& request, SKProductsResponse response) {
    answerProductRequest(request, [response = std::move(response)](SKProductsRequestDelegate& delegate,
                                                                   SKProductsRequest& r) {
        delegate.productsRequest_didReceiveResponse(r, response);
        delegate.requestDidFinish(r);
    });
}

void answerWithFailure(const std::shared_ptr<SKProductsRequest>& request, Error error) {
    answerProductRequest(request, [error = std::move(error)](SKProductsRequestDelegate& delegate,
                                                             SKProductsRequest& r) {
        delegate.request_didFailWithError(r, error);
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

void SKProductsRequest::start() {
    {
        std::lock_guard lock(mutex_);
        if (started_ || cancelled_) {
            return;
        }
        started_ = true;
    }
    auto& state = productStoreState();
    std::optional<Error> failure;
    SKProductsResponse response;
    {
        std::lock_guard lock(state.mutex);
        ++state.requests;
        if (state.failures > 0) {
            --state.failures;
            failure = state.failure;
        } else if (!state.hasCatalogue) {
            state.pending.push_back(shared_from_this());
            return;
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
    if (failure) {
        answerWithFailure(shared_from_this(), std::move(*failure));
    } else {
        answerWithResponse(shared_from_this(), std::move(response));
    }
}

std::vector<std::shared_ptr<SKProductsRequest>> sim::Store::pendingProductRequests() {
    auto& state = productStoreState();
    std::lock_guard lock(state.mutex);
    return state.pending;
}

void sim::Store::answerProducts(const std::shared_ptr<SKProductsRequest>& request, std::vector<SKProduct> products,
                                std::vector<std::string> invalid) {
    if (request && takePendingProductRequest(request.get())) {
        answerWithResponse(request, SKProductsResponse{std::move(products), std::move(invalid)});
    }
}

void sim::Store::failRequest(const std::shared_ptr<SKProductsRequest>& request, Error error) {
    if (request && takePendingProductRequest(request.get())) {
        answerWithFailure(request, std::move(error));
    }
}

namespace sim {

void ProductStore::setCatalogue(std::vector<SKProduct> products) {
    registerProductDiscountClass();
    auto& state = productStoreState();
    std::lock_guard lock(state.mutex);
    state.hasCatalogue = true;
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
