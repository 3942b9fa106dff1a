#pragma once
// How the web engine gets a page: through a URLSession whose cookie storage is the web data store's (real
// loads), or from the page table (unit tests). Events arrive on the main queue; a cancelled fetch reports
// nothing more.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLRequest.hpp"

namespace plat::detail {

struct FetchCallbacks {
    // A server redirect to `next`; answer true to follow it, false to stop (the fetch then ends silently).
    std::function<void(const HTTPURLResponse& response, const URLRequest& next,
                       std::function<void(bool)> follow)>
        redirect;
    // The final response head; answer true to receive the body, false to stop silently.
    std::function<void(std::shared_ptr<const HTTPURLResponse>, std::function<void(bool)> proceed)> response;
    std::function<void(const Data&)> data;
    // The end of the load: none on success.
    std::function<void(std::optional<Error>)> complete;
};

class PageFetch {
public:
    virtual ~PageFetch() = default;
    virtual void cancel() = 0;
    // Page-table pages that hold after commit end here; false when this fetch holds nothing.
    virtual bool endHeld(std::optional<Error> error) {
        (void)error;
        return false;
    }
};

// The page table when it is enabled, else the network through the cookie storage's web session.
std::shared_ptr<PageFetch> startFetch(const URLRequest& request, FetchCallbacks callbacks,
                                      const std::shared_ptr<HTTPCookieStorage>& cookies);

} // namespace plat::detail
