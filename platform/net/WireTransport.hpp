#pragma once
// The seam between URLSession's task machinery and whatever moves bytes: one request/response exchange
// ("hop") at a time, with ordered events on the transport's own serial context. CurlTransport is the real
// one; ScriptedTransport answers from test scripts.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plat {

using WireHeaders = std::vector<std::pair<std::string, std::string>>;

// A request body the transport pulls while sending. `read` returns the bytes copied, 0 at the end, -1 on a
// failure; `rewind` (optional) restarts from the beginning and returns false when the source cannot.
struct WireBody {
    int64_t size = -1; // -1: unknown length, sent chunked
    std::function<long(uint8_t* buffer, std::size_t capacity)> read;
    std::function<bool()> rewind;
    // The whole body, when it is in memory: a transport may then send it with the request head, in one
    // write, instead of pulling it through `read`.
    std::shared_ptr<const std::vector<uint8_t>> bytes;
};

struct WireRequest {
    std::string url;
    std::string method = "GET";
    WireHeaders headers;                       // in wire order; Accept-Encoding travels separately
    std::optional<std::string> acceptEncoding; // sent as given; gzip and deflate bodies are decoded
    std::optional<WireBody> body;
    double idleTimeout = 60;            // seconds without progress before the hop times out
    double resourceTimeout = 0;         // seconds for the whole hop; 0 means none
    int64_t maxResponseBytes = -1;      // decoded body bytes; -1 means no cap
    std::vector<std::string> connectTo; // "host:port:address:port"
    std::optional<std::pair<std::string, std::string>> credential; // user, password
    bool digest = false;              // the credential answers a Digest challenge, else Basic
    std::optional<std::string> proxy; // "http://host:port"; none: direct
    std::optional<std::pair<std::string, std::string>> proxyCredential; // user, password
    bool proxyDigest = false;
    bool ownConnection = false; // a new connection, closed after the hop: reused neither way
};

struct WireResponseHead {
    long statusCode = 0;
    WireHeaders headers; // as received, in order, repeated names kept
    std::string httpVersion;
};

struct WireMetrics {
    int64_t nameLookupMicros = 0;
    int64_t connectMicros = 0;
    int64_t tlsMicros = 0;
    int64_t startTransferMicros = 0;
    int64_t totalMicros = 0;
    std::string httpVersion;
    bool reusedConnection = false;
    std::string remoteAddress;
    long remotePort = 0;
};

// Outcome codes the transport reports; the session maps them to URL errors.
enum class WireFailure {
    none,
    cancelled,
    badURL,
    unsupportedScheme,
    cannotFindHost,
    cannotConnect,
    timedOut,
    connectionLost,
    badServerResponse,
    badContentEncoding,
    sslConnect,
    serverCertificateUntrusted,
    sendFailed,   // the body source failed
    tooLarge,     // response over the cap
    notConnected, // no route to the network
    other,
};

struct WireResult {
    WireFailure failure = WireFailure::none;
    int transportCode = 0; // the library's own code (curl's CURLcode), kept for diagnostics
    std::string message;
    WireMetrics metrics;
};

struct ServerTrustQuery {
    std::vector<std::vector<uint8_t>> chain; // DER, leaf first
    std::string host;
    int port = 0;
};

// The verdict on a server's certificate: accept, or fail the hop with `failure`.
struct ServerTrustVerdict {
    bool accept = false;
    WireFailure failure = WireFailure::serverCertificateUntrusted;
};

enum class WireAction { proceed, pause, abort };

// Events of one hop, in order, on the transport's serial context: (trust)* head? body* done. `onDone` comes
// exactly once unless the hop was stopped first.
class WireObserver {
public:
    virtual ~WireObserver() = default;
    // The final (non-1xx) response head. `pause` holds the body until `resume`.
    virtual WireAction onHead(const WireResponseHead& head) = 0;
    virtual WireAction onBody(const uint8_t* bytes, std::size_t length) = 0;
    virtual void onBodySent(int64_t totalSent, int64_t totalExpected) = 0;
    // Called once per TLS handshake; `answer` may be called from any thread, at most once.
    virtual void onServerTrust(const ServerTrustQuery& query,
                               std::function<void(ServerTrustVerdict)> answer) = 0;
    virtual void onDone(const WireResult& result) = 0;
};

using HopId = uint64_t;

class WireTransport {
public:
    virtual ~WireTransport() = default;
    // Runs `fn` on the transport's serial context (never inline). Every other call below is made from there.
    virtual void post(std::function<void()> fn) = 0;
    virtual HopId start(WireRequest request, std::shared_ptr<WireObserver> observer) = 0;
    // Drops the hop without a further event.
    virtual void stop(HopId hop) = 0;
    virtual void pause(HopId hop) = 0;
    virtual void resume(HopId hop) = 0;
    // Stops every hop and the context; safe from any thread except the context itself.
    virtual void shutdown() = 0;
    // True on the transport's own thread while it carries no transfer but the one now reporting and has
    // no work waiting: nothing else needs the thread, so delegate work may run there at once instead of
    // waking another thread for it.
    virtual bool isQuietTransportThread() const { return false; }
};

} // namespace plat
