#include "platform/net/URLConnection.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/net/URLSession.hpp"

#include <map>
#include <mutex>

namespace plat {

struct URLConnection::State {
    explicit State(URLRequest r) : request(std::move(r)) {}

    // The delegate while the load may still report; null once it ended or was cancelled.
    std::shared_ptr<URLConnectionDelegate> liveDelegate() {
        std::lock_guard lock(mutex);
        return delegate;
    }
    std::shared_ptr<URLConnectionDelegate> takeDelegate() {
        std::lock_guard lock(mutex);
        return std::move(delegate);
    }

    const URLRequest request;
    std::mutex mutex;
    std::shared_ptr<URLConnectionDelegate> delegate;
    std::shared_ptr<URLSessionDataTask> task;
};

namespace {

// Routes the session's events for each connection's task to that connection's delegate, on the main
// queue. The session's own delegate queue is a private one, so that a synchronous load waiting on the
// main thread still gets its answer.
class ConnectionRouter final : public URLSessionDelegate {
public:
    void add(uint64_t taskIdentifier, std::shared_ptr<URLConnection::State> state) {
        std::lock_guard lock(mutex_);
        loads_.emplace(taskIdentifier, std::move(state));
    }

    void addTrustHandler(uint64_t taskIdentifier, URLConnection::TrustChallengeHandler handler) {
        std::lock_guard lock(mutex_);
        trustHandlers_.emplace(taskIdentifier, std::move(handler));
    }
    void removeTrustHandler(uint64_t taskIdentifier) {
        std::lock_guard lock(mutex_);
        trustHandlers_.erase(taskIdentifier);
    }

    bool respondsTo(std::string_view selector) const override {
        return selector == URLSessionSelector::didReceiveResponse ||
               selector == URLSessionSelector::didReceiveData ||
               selector == URLSessionSelector::didCompleteWithError ||
               selector == URLSessionSelector::taskDidReceiveChallenge;
    }

    // A load's own trust handler decides its server-trust challenge; every other challenge, and the loads
    // without a handler, get the default handling they had before the handler existed.
    void taskDidReceiveChallenge(URLSession&, const TaskPtr& task, const URLAuthenticationChallenge& challenge,
                                 ChallengeCompletion completion) override {
        URLConnection::TrustChallengeHandler handler;
        if (challenge.protectionSpace.authenticationMethod == NSURLAuthenticationMethodServerTrust) {
            std::lock_guard lock(mutex_);
            auto it = trustHandlers_.find(task->taskIdentifier());
            if (it != trustHandlers_.end())
                handler = it->second;
        }
        if (handler)
            handler(challenge, std::move(completion));
        else
            completion(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }

    void didReceiveResponse(URLSession&, const TaskPtr& task, const HTTPURLResponse& response,
                            ResponseCompletion completion) override {
        if (auto state = find(task)) {
            auto copy = std::make_shared<const HTTPURLResponse>(response);
            DispatchQueue::main()->async([state, copy] {
                if (auto d = state->liveDelegate()) {
                    URLConnection connection(state);
                    d->didReceiveResponse(connection, *copy);
                }
            });
        }
        completion(URLSessionResponseDisposition::allow);
    }

    void didReceiveData(URLSession&, const TaskPtr& task, const Data& data) override {
        if (auto state = find(task)) {
            auto copy = std::make_shared<const Data>(data);
            DispatchQueue::main()->async([state, copy] {
                if (auto d = state->liveDelegate()) {
                    URLConnection connection(state);
                    d->didReceiveData(connection, *copy);
                }
            });
        }
    }

    void didCompleteWithError(URLSession&, const TaskPtr& task, const std::optional<Error>& error) override {
        std::shared_ptr<URLConnection::State> state;
        {
            std::lock_guard lock(mutex_);
            auto it = loads_.find(task->taskIdentifier());
            if (it == loads_.end())
                return;
            state = std::move(it->second);
            loads_.erase(it);
        }
        DispatchQueue::main()->async([state, error] {
            // Taken, not copied: the connection lets go of its delegate when it ends.
            auto d = state->takeDelegate();
            if (!d)
                return;
            URLConnection connection(state);
            if (error)
                d->didFailWithError(connection, *error);
            else
                d->didFinishLoading(connection);
        });
    }

private:
    std::shared_ptr<URLConnection::State> find(const TaskPtr& task) {
        std::lock_guard lock(mutex_);
        auto it = loads_.find(task->taskIdentifier());
        return it == loads_.end() ? nullptr : it->second;
    }

    std::mutex mutex_;
    std::map<uint64_t, std::shared_ptr<URLConnection::State>> loads_;
    std::map<uint64_t, URLConnection::TrustChallengeHandler> trustHandlers_;
};

struct ConnectionSession {
    std::shared_ptr<ConnectionRouter> router = std::make_shared<ConnectionRouter>();
    // Shared cookies and credentials, as the default configuration has; never invalidated.
    std::shared_ptr<URLSession> session =
        URLSession::make(URLSessionConfiguration::defaultConfiguration(), router);
};

ConnectionSession& connectionSession() {
    static NeverDestroyed<ConnectionSession> instance;
    return instance.get();
}

} // namespace

URLConnection::SynchronousResult URLConnection::sendSynchronousRequest(const URLRequest& request) {
    return sendSynchronousRequest(request, nullptr);
}

URLConnection::SynchronousResult URLConnection::sendSynchronousRequest(const URLRequest& request,
                                                                       TrustChallengeHandler trust) {
    auto result = std::make_shared<SynchronousResult>();
    DispatchSemaphore done(0);
    // Under the virtual backend the wait below runs other work; this keeps it from moving virtual time
    // (and firing unrelated timers) while the real transfer is still on its way.
    ExternalActivity inFlight;
    auto& shared = connectionSession();
    auto task = shared.session->dataTask(
        request, [result, done](std::optional<Data> data, std::shared_ptr<const HTTPURLResponse> response,
                                std::optional<Error> error) {
            result->data = std::move(data);
            result->response = std::move(response);
            result->error = std::move(error);
            done.signal();
        });
    const bool ownTrust = static_cast<bool>(trust);
    if (ownTrust) {
        shared.router->addTrustHandler(task->taskIdentifier(), std::move(trust));
        task->setNeedsOwnConnection(true);
    }
    task->resume();
    done.wait();
    if (ownTrust)
        shared.router->removeTrustHandler(task->taskIdentifier());
    return std::move(*result);
}

URLConnection::URLConnection(const URLRequest& request, std::shared_ptr<URLConnectionDelegate> delegate)
    : state_(std::make_shared<State>(request)) {
    auto& shared = connectionSession();
    state_->delegate = std::move(delegate);
    state_->task = shared.session->dataTask(request);
    shared.router->add(state_->task->taskIdentifier(), state_);
    state_->task->resume();
}

const URLRequest& URLConnection::originalRequest() const {
    return state_->request;
}

void URLConnection::cancel() {
    (void)state_->takeDelegate();
    if (state_->task)
        state_->task->cancel();
}

} // namespace plat
