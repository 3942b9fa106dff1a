#pragma once
// URLConnection: the older loading API, kept for callers that block on one request or want plain
// response/data/finish callbacks on the main queue. It runs on the same session machinery as URLSession.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/net/HTTPURLResponse.hpp"
#include "platform/net/URLCredential.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSessionDelegate.hpp"

#include <functional>
#include <memory>
#include <optional>

namespace plat {

class URLConnection;

// Every callback runs on the main queue; after didFinishLoading, didFailWithError or cancel() nothing
// more arrives.
class URLConnectionDelegate {
public:
    virtual ~URLConnectionDelegate() = default;
    virtual void didReceiveResponse(URLConnection&, const HTTPURLResponse&) {}
    virtual void didReceiveData(URLConnection&, const Data&) {}
    virtual void didFinishLoading(URLConnection&) {}
    virtual void didFailWithError(URLConnection&, const Error&) {}
};

// A handle on one load; copies refer to the same load. The load keeps itself and its delegate alive
// until it ends, whoever still holds a handle.
class URLConnection {
public:
    struct SynchronousResult {
        std::shared_ptr<const HTTPURLResponse> response; // also for HTTP error statuses
        std::optional<Data> data;                        // none when the load failed
        std::optional<Error> error;                      // transport failures only, not HTTP statuses
    };

    // Blocks the calling thread until the load ends. Must not be called from a callback of the
    // connection machinery's own queue (nothing outside this file runs there).
    static SynchronousResult sendSynchronousRequest(const URLRequest& request);
    // The same, with the server-trust challenge of this load decided by `trust` (on another thread), as a
    // session delegate decides it; a cancelled challenge ends the load with the "cancelled" error. Without a
    // handler the platform's default trust evaluation applies, as above.
    using TrustChallengeHandler =
        std::function<void(const URLAuthenticationChallenge&, URLSessionDelegate::ChallengeCompletion)>;
    static SynchronousResult sendSynchronousRequest(const URLRequest& request, TrustChallengeHandler trust);

    // Starts loading at once.
    URLConnection(const URLRequest& request, std::shared_ptr<URLConnectionDelegate> delegate);

    const URLRequest& originalRequest() const;
    // Stops the load; the delegate hears nothing more and is released.
    void cancel();

    struct State;
    explicit URLConnection(std::shared_ptr<State> state) : state_(std::move(state)) {}

private:
    std::shared_ptr<State> state_;
};

} // namespace plat
