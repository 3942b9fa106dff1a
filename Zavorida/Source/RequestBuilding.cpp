#include "Zavorida/Source/RequestBuilding.hpp"

namespace Zavorida {

plat::URLRequest makeRequest(const URLConvertible& url, HTTPMethod method,
                             const std::optional<HeaderDictionary>& headers) {
    plat::URLRequest request(url.makeURL(), plat::URLRequestCachePolicy::useProtocolCachePolicy, 60);
    request.setHTTPMethod(method.rawValue());
    if (headers) {
        for (const auto& [field, value] : *headers) {
            request.setValue(value, field);
        }
    }
    return request;
}

void executeAfterDelay(plat::DispatchQueue& queue, double delay, std::function<void()> work) {
    queue.asyncAfter(delay, std::move(work));
}

} // namespace Zavorida
