#pragma once
// The network fake of unit tests (installed with sim::Network::useScripted()): no sockets, no threads. Every
// wire request of every session is recorded, and answered from per-route scripts in virtual time, through
// the same session machinery (delegate order, cookies, redirects, trust, errors) as real traffic.

#include "platform/foundation/Value.hpp"
#include "platform/net/WireTransport.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plat {

struct ScriptedRequest {
    uint64_t seq = 0; // 1, 2, ... across all sessions
    std::string method;
    std::string url;     // without the fragment
    WireHeaders headers; // in wire order, as the session sent them (Accept-Encoding last)
    Data body;
};

struct ScriptedReply {
    int status = 200;
    WireHeaders headers;
    std::vector<std::string> chunks;    // the body, delivered chunk by chunk
    double delay = 0;                   // virtual seconds before the answer starts
    std::optional<WireFailure> failure; // fail the hop the way the network would
    std::vector<Data> certificateChain; // DER, leaf first: runs the server-trust challenge for https
    bool noAnswer = false;              // never answer: the request's time-out fires in virtual time

    static ScriptedReply text(int status, std::string body, std::string contentType = "text/plain");
    static ScriptedReply redirect(int status, std::string location);
    static ScriptedReply error(WireFailure failure);
    static ScriptedReply silence();
    ScriptedReply& withHeader(std::string name, std::string value);
    ScriptedReply& after(double seconds);
};

class ScriptedTransport {
public:
    using Handler = std::function<ScriptedReply(const ScriptedRequest&)>;

    // The most recently added route whose method (empty: any) and URL prefix match answers; none gives 404.
    void route(std::string method, std::string urlPrefix, ScriptedReply reply);
    void route(std::string method, std::string urlPrefix, Handler handler);
    void clearRoutes();

    std::vector<ScriptedRequest> requests() const;
    void clearRequests();

    // Internal: a transport for one session that answers from this script.
    std::unique_ptr<WireTransport> makeSessionTransport();
    ScriptedReply answer(ScriptedRequest& request);

private:
    struct Route {
        std::string method;
        std::string prefix;
        Handler handler;
    };
    mutable std::mutex mutex_;
    std::vector<Route> routes_;
    std::vector<ScriptedRequest> requests_;
    uint64_t seq_ = 0;
};

} // namespace plat
