#include "platform/net/ScriptedTransport.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/net/CurlTransport.hpp"
#include "platform/net/SimNetwork.hpp"

#include <map>

namespace plat {

ScriptedReply ScriptedReply::text(int status, std::string body, std::string contentType) {
    ScriptedReply r;
    r.status = status;
    r.headers.emplace_back("Content-Type", std::move(contentType));
    r.headers.emplace_back("Content-Length", std::to_string(body.size()));
    if (!body.empty())
        r.chunks.push_back(std::move(body));
    return r;
}

ScriptedReply ScriptedReply::redirect(int status, std::string location) {
    ScriptedReply r;
    r.status = status;
    r.headers.emplace_back("Location", std::move(location));
    r.headers.emplace_back("Content-Length", "0");
    return r;
}

ScriptedReply ScriptedReply::error(WireFailure failure) {
    ScriptedReply r;
    r.failure = failure;
    return r;
}

ScriptedReply ScriptedReply::silence() {
    ScriptedReply r;
    r.noAnswer = true;
    return r;
}

ScriptedReply& ScriptedReply::withHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

ScriptedReply& ScriptedReply::after(double seconds) {
    delay = seconds;
    return *this;
}

void ScriptedTransport::route(std::string method, std::string urlPrefix, ScriptedReply reply) {
    route(std::move(method), std::move(urlPrefix), [reply](const ScriptedRequest&) { return reply; });
}

void ScriptedTransport::route(std::string method, std::string urlPrefix, Handler handler) {
    std::lock_guard lock(mutex_);
    routes_.push_back(Route{std::move(method), std::move(urlPrefix), std::move(handler)});
}

void ScriptedTransport::clearRoutes() {
    std::lock_guard lock(mutex_);
    routes_.clear();
}

std::vector<ScriptedRequest> ScriptedTransport::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedTransport::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

ScriptedReply ScriptedTransport::answer(ScriptedRequest& request) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        request.seq = ++seq_;
        requests_.push_back(request);
        for (auto it = routes_.rbegin(); it != routes_.rend(); ++it) {
            if ((it->method.empty() || it->method == request.method) &&
                request.url.rfind(it->prefix, 0) == 0) {
                handler = it->handler;
                break;
            }
        }
    }
    return handler ? handler(request) : ScriptedReply::text(404, "not found");
}

namespace {

// One session's view of the script: hops run as work items on a serial queue, delays are queue timers, so
// virtual time decides when anything happens.
class ScriptedSessionTransport final : public WireTransport {
public:
    explicit ScriptedSessionTransport(ScriptedTransport& script)
        : script_(script), queue_(DispatchQueue::makeSerial("plat.scripted-transport")),
          alive_(std::make_shared<bool>(true)) {}
    ~ScriptedSessionTransport() override { shutdown(); }

    void post(std::function<void()> fn) override {
        std::weak_ptr<bool> alive = alive_;
        queue_->async([alive, fn = std::move(fn)] {
            if (alive.lock())
                fn();
        });
    }

    HopId start(WireRequest request, std::shared_ptr<WireObserver> observer) override {
        const HopId id = next_++;
        Hop& hop = hops_[id];
        hop.request = std::move(request);
        hop.observer = std::move(observer);
        post([this, id] { begin(id); });
        return id;
    }

    void stop(HopId id) override {
        auto it = hops_.find(id);
        if (it == hops_.end())
            return;
        if (it->second.timer)
            it->second.timer.cancel();
        hops_.erase(it);
    }

    void pause(HopId id) override {
        if (auto it = hops_.find(id); it != hops_.end())
            it->second.paused = true;
    }

    void resume(HopId id) override {
        auto it = hops_.find(id);
        if (it == hops_.end())
            return;
        it->second.paused = false;
        if (it->second.headDone)
            post([this, id] { deliverBody(id); });
    }

    void shutdown() override {
        for (auto& [id, hop] : hops_)
            if (hop.timer)
                hop.timer.cancel();
        hops_.clear();
        alive_.reset();
    }

private:
    struct Hop {
        WireRequest request;
        std::shared_ptr<WireObserver> observer;
        ScriptedReply reply;
        bool paused = false;
        bool headDone = false;
        std::size_t nextChunk = 0;
        int64_t received = 0;
        Timer timer;
    };

    Hop* find(HopId id) {
        auto it = hops_.find(id);
        return it == hops_.end() ? nullptr : &it->second;
    }

    void finish(HopId id, WireFailure failure) {
        Hop* hop = find(id);
        if (!hop)
            return;
        auto observer = hop->observer;
        hops_.erase(id);
        WireResult result;
        result.failure = failure;
        observer->onDone(result);
    }

    void after(HopId id, double seconds, std::function<void()> fn) {
        Hop* hop = find(id);
        if (!hop)
            return;
        std::weak_ptr<bool> alive = alive_;
        hop->timer = queue_->asyncAfter(seconds, [alive, fn = std::move(fn)] {
            if (alive.lock())
                fn();
        });
    }

    void begin(HopId id) {
        Hop* hop = find(id);
        if (!hop)
            return;
        ScriptedRequest recorded;
        recorded.method = hop->request.method;
        recorded.url = hop->request.url;
        recorded.headers = hop->request.headers;
        if (hop->request.acceptEncoding)
            recorded.headers.emplace_back("Accept-Encoding", *hop->request.acceptEncoding);
        if (hop->request.body && hop->request.body->read) {
            uint8_t buffer[16384];
            for (;;) {
                const long n = hop->request.body->read(buffer, sizeof buffer);
                if (n < 0) {
                    finish(id, WireFailure::sendFailed);
                    return;
                }
                if (n == 0)
                    break;
                recorded.body.insert(recorded.body.end(), buffer, buffer + n);
            }
            hop->observer->onBodySent(static_cast<int64_t>(recorded.body.size()),
                                      hop->request.body->size >= 0
                                          ? hop->request.body->size
                                          : static_cast<int64_t>(recorded.body.size()));
            hop = find(id);
            if (!hop)
                return;
        }
        hop->reply = script_.answer(recorded);
        if (!hop->reply.certificateChain.empty() && hop->request.url.rfind("https:", 0) == 0) {
            ServerTrustQuery query;
            for (const auto& der : hop->reply.certificateChain)
                query.chain.push_back(der);
            query.host = hostOf(hop->request.url);
            query.port = 443;
            std::weak_ptr<bool> alive = alive_;
            hop->observer->onServerTrust(query, [this, alive, id](ServerTrustVerdict verdict) {
                if (!alive.lock())
                    return;
                post([this, id, verdict] {
                    if (!verdict.accept)
                        finish(id, verdict.failure);
                    else
                        schedule(id);
                });
            });
            return;
        }
        schedule(id);
    }

    static std::string hostOf(const std::string& url) {
        const auto start = url.find("://");
        if (start == std::string::npos)
            return {};
        const auto hostStart = start + 3;
        const auto end = url.find_first_of(":/?#", hostStart);
        return url.substr(hostStart, end == std::string::npos ? std::string::npos : end - hostStart);
    }

    void schedule(HopId id) {
        Hop* hop = find(id);
        if (!hop)
            return;
        if (hop->reply.noAnswer) {
            const double limit = hop->request.idleTimeout > 0 ? hop->request.idleTimeout : 60;
            after(id, limit, [this, id] { finish(id, WireFailure::timedOut); });
            return;
        }
        if (hop->reply.delay > 0)
            after(id, hop->reply.delay, [this, id] { respond(id); });
        else
            respond(id);
    }

    void respond(HopId id) {
        Hop* hop = find(id);
        if (!hop)
            return;
        if (hop->reply.failure) {
            finish(id, *hop->reply.failure);
            return;
        }
        WireResponseHead head;
        head.statusCode = hop->reply.status;
        head.httpVersion = "HTTP/1.1";
        head.headers = hop->reply.headers;
        hop->headDone = true;
        const WireAction action = hop->observer->onHead(head);
        hop = find(id);
        if (!hop)
            return;
        if (action == WireAction::abort) {
            finish(id, WireFailure::cancelled);
            return;
        }
        if (action == WireAction::pause)
            hop->paused = true;
        deliverBody(id);
    }

    void deliverBody(HopId id) {
        for (;;) {
            Hop* hop = find(id);
            if (!hop || hop->paused)
                return;
            if (hop->nextChunk >= hop->reply.chunks.size()) {
                finish(id, WireFailure::none);
                return;
            }
            const std::string chunk = hop->reply.chunks[hop->nextChunk++];
            hop->received += static_cast<int64_t>(chunk.size());
            if (hop->request.maxResponseBytes >= 0 && hop->received > hop->request.maxResponseBytes) {
                finish(id, WireFailure::tooLarge);
                return;
            }
            auto observer = hop->observer;
            if (observer->onBody(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()) ==
                WireAction::abort) {
                finish(id, WireFailure::cancelled);
                return;
            }
        }
    }

    ScriptedTransport& script_;
    DispatchQueuePtr queue_;
    std::shared_ptr<bool> alive_;
    std::map<HopId, Hop> hops_; // queue only
    HopId next_ = 1;
};

struct NetworkMode {
    std::mutex mutex;
    std::unique_ptr<ScriptedTransport> scripted; // kept for the process once made
    bool useScripted = false;
};

NetworkMode& networkMode() {
    static NeverDestroyed<NetworkMode> instance;
    return instance.get();
}

} // namespace

std::unique_ptr<WireTransport> ScriptedTransport::makeSessionTransport() {
    return std::make_unique<ScriptedSessionTransport>(*this);
}

namespace sim {

ScriptedTransport& Network::useScripted() {
    auto& mode = networkMode();
    std::lock_guard lock(mode.mutex);
    if (!mode.scripted)
        mode.scripted = std::make_unique<ScriptedTransport>();
    mode.useScripted = true;
    return *mode.scripted;
}

void Network::useCurl() {
    auto& mode = networkMode();
    std::lock_guard lock(mode.mutex);
    mode.useScripted = false;
}

std::unique_ptr<WireTransport> Network::makeTransport(const std::string& label, long maxConnectionsPerHost) {
    auto& mode = networkMode();
    {
        std::lock_guard lock(mode.mutex);
        if (mode.useScripted)
            return mode.scripted->makeSessionTransport();
    }
    return std::make_unique<CurlTransport>(label, maxConnectionsPerHost);
}

} // namespace sim

} // namespace plat
