#include "platform/net/CurlTransport.hpp"

#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/String.hpp"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace plat {

namespace {

constexpr std::size_t kIdleHandles = 8;
// Seconds a connection may have sat idle in the pool and still carry a request that is not safe to repeat;
// many servers close an idle connection after five.
constexpr long kLongestIdleForUnsafeRequests = 2;

void globalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A peer closing its socket must surface as a send error, not end the process.
        std::signal(SIGPIPE, SIG_IGN);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

// Methods a client may repeat without the server doing anything twice that it would mind.
bool isSafeToResend(std::string_view method) {
    return method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "TRACE";
}

std::string trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
        --e;
    return std::string(s.substr(b, e - b));
}

WireFailure failureFor(CURLcode code) {
    switch (code) {
    case CURLE_OK:
        return WireFailure::none;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return WireFailure::unsupportedScheme;
    case CURLE_URL_MALFORMAT:
        return WireFailure::badURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return WireFailure::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return WireFailure::cannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return WireFailure::timedOut;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return WireFailure::connectionLost;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
        return WireFailure::badServerResponse;
    case CURLE_BAD_CONTENT_ENCODING:
        return WireFailure::badContentEncoding;
    case CURLE_SSL_CONNECT_ERROR:
        return WireFailure::sslConnect;
    case CURLE_PEER_FAILED_VERIFICATION:
        return WireFailure::serverCertificateUntrusted;
    case CURLE_READ_ERROR:
        return WireFailure::sendFailed;
    case CURLE_ABORTED_BY_CALLBACK:
        return WireFailure::cancelled;
    default:
        return WireFailure::other;
    }
}

} // namespace

struct CurlTransport::Hop {
    HopId id = 0;
    CURL* easy = nullptr;
    std::vector<CURL*>* idleHandles = nullptr; // where the handle goes back for the next hop
    bool finishedCleanly = false;              // only a handle that ran to its end is reused
    curl_slist* headerList = nullptr;
    curl_slist* connectToList = nullptr;
    WireRequest request;
    std::shared_ptr<WireObserver> observer;

    // Response head being collected; reset at every status line (interim and authentication responses).
    WireResponseHead head;
    bool headDelivered = false;
    int unauthorizedSeen = 0;
    int proxyChallengesSeen = 0;
    bool tlsSeen = false;                           // a handshake ran on this hop's connection
    std::optional<WireResponseHead> connectRefusal; // the proxy's 407 to CONNECT
    bool holdBody = false;                          // the observer asked to see nothing until resume()
    bool suspended = false;
    bool stopped = false;
    bool added = false;
    int64_t bodyBytes = 0;
    int64_t lastSent = -1;
    bool overCap = false;
    bool aborted = false;
    bool readFailed = false;
    bool idleTimedOut = false;
    // Guards a request that is not safe to repeat against libcurl's unasked resend (see onBeforeSend).
    int sendAttempts = 0;
    bool answerSinceSend = false;
    bool resendRefused = false;
    std::optional<ServerTrustVerdict> trustVerdict;
    // Progress seen last and when, for the idle time-out: a request times out after idleTimeout seconds
    // without a byte moving, however much came before (libcurl's low-speed check averages over a window).
    curl_off_t lastDown = 0;
    curl_off_t lastUp = 0;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();

    ~Hop() {
        // A reset handle keeps nothing of this hop but saves the next one its set-up. The reset cannot be
        // left out for a handle that stays configured: libcurl counts the requests it sent again on a new
        // connection per handle, not per transfer, and only a reset clears the count, so a handle that
        // skipped it would refuse to resend a safe request after five such retries in its life.
        if (easy && finishedCleanly && idleHandles && idleHandles->size() < kIdleHandles) {
            curl_easy_reset(easy);
            idleHandles->push_back(easy);
        } else if (easy) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headerList);
        curl_slist_free_all(connectToList);
    }

    static size_t onHeaderLine(char* data, size_t size, size_t count, void* user) {
        auto* hop = static_cast<Hop*>(user);
        const size_t length = size * count;
        if (hop->stopped)
            return 0;
        std::string_view line(data, length);
        if (line.rfind("HTTP/", 0) == 0) {
            hop->answerSinceSend = true;
            hop->head = WireResponseHead{};
            hop->headDelivered = false;
            const auto sp = line.find(' ');
            hop->head.httpVersion = trim(line.substr(0, sp));
            if (sp != std::string_view::npos)
                hop->head.statusCode = std::strtol(std::string(line.substr(sp + 1, 3)).c_str(), nullptr, 10);
            return length;
        }
        const std::string text = trim(line);
        if (text.empty())
            return hop->endOfHead() ? length : 0;
        if ((line[0] == ' ' || line[0] == '\t') && !hop->head.headers.empty()) {
            hop->head.headers.back().second += " " + text;
            return length;
        }
        const auto colon = text.find(':');
        if (colon == std::string::npos)
            return length; // not a field; ignore rather than fail the response
        hop->head.headers.emplace_back(trim(std::string_view(text).substr(0, colon)),
                                       trim(std::string_view(text).substr(colon + 1)));
        return length;
    }

    // Returns false to abort the transfer.
    bool endOfHead() {
        if (request.proxy && !tlsSeen) {
            long connectCode = 0;
            curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
            if (connectCode != 0) {
                // The proxy's answer to CONNECT, before any handshake through the tunnel: not the response.
                // A refusal is kept for finish(), as libcurl then gives up or asks again with credentials.
                connectRefusal.reset();
                if (head.statusCode == 407)
                    connectRefusal = head;
                return true;
            }
        }
        if (head.statusCode < 200 && head.statusCode != 0)
            return true; // interim response; the real one follows
        if (head.statusCode == 401 && request.credential && request.digest && unauthorizedSeen++ == 0)
            return true; // libcurl answers the Digest challenge itself and asks again
        if (head.statusCode == 407 && request.proxyCredential && request.proxyDigest &&
            proxyChallengesSeen++ == 0)
            return true; // the same for a proxy's Digest challenge
        headDelivered = true;
        if (request.maxResponseBytes >= 0) {
            for (const auto& [name, value] : head.headers) {
                if (String::equalsIgnoringASCIICase(name, "Content-Length") &&
                    std::strtoll(value.c_str(), nullptr, 10) > request.maxResponseBytes) {
                    overCap = true;
                    return false;
                }
            }
        }
        switch (observer->onHead(head)) {
        case WireAction::proceed:
            return true;
        case WireAction::pause:
            holdBody = true;
            return true;
        case WireAction::abort:
            aborted = true;
            return false;
        }
        return true;
    }

    static size_t onWrite(char* data, size_t size, size_t count, void* user) {
        auto* hop = static_cast<Hop*>(user);
        const size_t length = size * count;
        if (hop->stopped)
            return 0;
        if (!hop->headDelivered)
            return length; // body of an interim or retried authentication response
        if (hop->holdBody || hop->suspended)
            return CURL_WRITEFUNC_PAUSE;
        hop->bodyBytes += static_cast<int64_t>(length);
        if (hop->request.maxResponseBytes >= 0 && hop->bodyBytes > hop->request.maxResponseBytes) {
            hop->overCap = true;
            return 0;
        }
        if (hop->observer->onBody(reinterpret_cast<const uint8_t*>(data), length) == WireAction::abort) {
            hop->aborted = true;
            return 0;
        }
        return length;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* user) {
        auto* hop = static_cast<Hop*>(user);
        if (hop->stopped || !hop->request.body || !hop->request.body->read)
            return CURL_READFUNC_ABORT;
        const long n = hop->request.body->read(reinterpret_cast<uint8_t*>(buffer), size * count);
        if (n < 0) {
            hop->readFailed = true;
            return CURL_READFUNC_ABORT;
        }
        return static_cast<size_t>(n);
    }

    // Runs once the connection for an attempt is ready (new, or taken from the pool after libcurl found it
    // still open), just before the request goes out. libcurl makes a second attempt on its own when a
    // connection taken from the pool closes before any answer, and sends the request again; the server may
    // have acted on the first copy, so for a request that is not safe to repeat that attempt is refused and
    // the caller hears that the connection was lost. An attempt after an answer (an authentication
    // challenge) is the exchange going on, not a resend.
    static int onBeforeSend(void* user, char*, char*, int, int) {
        auto* hop = static_cast<Hop*>(user);
        if (hop->sendAttempts++ > 0 && !hop->answerSinceSend && !isSafeToResend(hop->request.method)) {
            hop->resendRefused = true;
            return CURL_PREREQFUNC_ABORT;
        }
        hop->answerSinceSend = false;
        return CURL_PREREQFUNC_OK;
    }

    static int onSeek(void* user, curl_off_t offset, int origin) {
        auto* hop = static_cast<Hop*>(user);
        if (offset == 0 && origin == SEEK_SET && hop->request.body && hop->request.body->rewind &&
            hop->request.body->rewind())
            return CURL_SEEKFUNC_OK;
        return CURL_SEEKFUNC_CANTSEEK;
    }

    static int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
        auto* hop = static_cast<Hop*>(user);
        if (hop->stopped)
            return 1;
        const auto now = std::chrono::steady_clock::now();
        if (dlnow != hop->lastDown || ulnow != hop->lastUp || hop->holdBody || hop->suspended) {
            hop->lastDown = dlnow;
            hop->lastUp = ulnow;
            hop->lastActivity = now;
        } else if (hop->request.idleTimeout > 0 &&
                   now - hop->lastActivity > std::chrono::duration<double>(hop->request.idleTimeout)) {
            hop->idleTimedOut = true;
            return 1;
        }
        if (hop->request.body && ulnow != hop->lastSent && ulnow > 0) {
            hop->lastSent = ulnow;
            hop->observer->onBodySent(ulnow, hop->request.body->size);
        }
        return 0;
    }

    static CURLcode onSSLContext(CURL*, void* sslctx, void* user) {
        SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslctx), &Hop::onVerify, user);
        return CURLE_OK;
    }

    // Runs inside the TLS handshake on the I/O thread, which waits here for the verdict (as the device's
    // networking thread does) so that no byte is sent to a server nobody has accepted.
    static int onVerify(X509_STORE_CTX* store, void* user) {
        auto* hop = static_cast<Hop*>(user);
        hop->tlsSeen = true;
        ServerTrustQuery query;
        query.host = hop->hostForTrust();
        query.port = hop->portForTrust();
        auto addCert = [&](X509* cert) {
            const int len = i2d_X509(cert, nullptr);
            if (len <= 0)
                return;
            std::vector<uint8_t> der(static_cast<std::size_t>(len));
            unsigned char* out = der.data();
            i2d_X509(cert, &out);
            query.chain.push_back(std::move(der));
        };
        STACK_OF(X509)* untrusted = X509_STORE_CTX_get0_untrusted(store);
        X509* leaf = X509_STORE_CTX_get0_cert(store);
        if (untrusted && sk_X509_num(untrusted) > 0) {
            for (int i = 0; i < sk_X509_num(untrusted); ++i)
                addCert(sk_X509_value(untrusted, i));
        } else if (leaf) {
            addCert(leaf);
        }

        auto promise = std::make_shared<std::promise<ServerTrustVerdict>>();
        auto answered = std::make_shared<std::once_flag>();
        auto future = promise->get_future();
        hop->observer->onServerTrust(query, [promise, answered](ServerTrustVerdict verdict) {
            std::call_once(*answered, [&] { promise->set_value(verdict); });
        });
        const double limit = hop->request.idleTimeout > 0 ? hop->request.idleTimeout : 60;
        ServerTrustVerdict verdict{false, WireFailure::timedOut};
        if (future.wait_for(std::chrono::duration<double>(limit)) == std::future_status::ready)
            verdict = future.get();
        hop->trustVerdict = verdict;
        hop->lastActivity = std::chrono::steady_clock::now();
        if (!verdict.accept) {
            X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
            return 0;
        }
        return 1;
    }

    std::string hostForTrust() const {
        CURLU* u = curl_url();
        std::string host;
        if (curl_url_set(u, CURLUPART_URL, request.url.c_str(), 0) == CURLUE_OK) {
            char* h = nullptr;
            if (curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK && h) {
                host = h;
                curl_free(h);
            }
        }
        curl_url_cleanup(u);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        return host;
    }

    int portForTrust() const {
        CURLU* u = curl_url();
        int port = 443;
        if (curl_url_set(u, CURLUPART_URL, request.url.c_str(), 0) == CURLUE_OK) {
            char* p = nullptr;
            if (curl_url_get(u, CURLUPART_PORT, &p, CURLU_DEFAULT_PORT) == CURLUE_OK && p) {
                port = std::atoi(p);
                curl_free(p);
            }
        }
        curl_url_cleanup(u);
        return port;
    }

    void configure() {
        if (idleHandles && !idleHandles->empty()) {
            easy = idleHandles->back();
            idleHandles->pop_back();
        } else {
            easy = curl_easy_init();
        }
        curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        // Every request may go down a kept-alive connection: libcurl takes one from its pool only after
        // checking, right then, that the peer has not closed it. A close that comes after that check, while
        // the request is on its way, makes libcurl send again, which onBeforeSend refuses for a request not
        // safe to repeat. Such a request also passes over a connection that has sat idle for a while: its
        // server may be closing it just then.
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Hop::onBeforeSend);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
        if (!isSafeToResend(request.method))
            curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, kLongestIdleForUnsafeRequests);
        // Trust is evaluated only in a handshake: a load that brings its own judge of the server gets a
        // handshake of its own, and its connection goes to no one else.
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, request.ownConnection ? 1L : 0L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, request.ownConnection ? 1L : 0L);
        // Only the session's configuration names a proxy: the build machine's proxy variables do not count.
        curl_easy_setopt(easy, CURLOPT_PROXY, request.proxy ? request.proxy->c_str() : "");
        if (request.proxy) {
            curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
        }
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");

        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Hop::onHeaderLine);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Hop::onWrite);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Hop::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);

        // Trust is decided by the session's challenge path on every handshake, never by libcurl alone; a
        // resumed TLS session would skip that evaluation, hence no session-ID cache.
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        // The verify callback replaces OpenSSL's chain check, so libcurl's own CA bundle would be parsed for
        // nothing (tens of milliseconds per session on the first handshake); SecTrust keeps the anchors.
        curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Hop::onSSLContext);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this);

        const long idle = std::max(1L, static_cast<long>(request.idleTimeout + 0.999));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, idle);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::max(1.0, request.idleTimeout * 1000)));
        if (request.resourceTimeout > 0)
            curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                             static_cast<long>(std::min(request.resourceTimeout * 1000, 2.0e9)));

        for (const auto& c : request.connectTo)
            connectToList = curl_slist_append(connectToList, c.c_str());
        if (connectToList)
            curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectToList);

        if (request.acceptEncoding)
            curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, request.acceptEncoding->c_str());

        for (const auto& [name, value] : request.headers) {
            const std::string line = value.empty() ? name + ";" : name + ": " + value;
            headerList = curl_slist_append(headerList, line.c_str());
        }
        headerList = curl_slist_append(headerList, "Expect:");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);

        const std::string& method = request.method;
        if (request.body && request.body->bytes) {
            // Bytes in memory go out with the head: a body pulled through the read callback would follow
            // it in a second write, and the server would wake twice.
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.body->bytes->size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS,
                             request.body->bytes->empty()
                                 ? ""
                                 : reinterpret_cast<const char*>(request.body->bytes->data()));
            if (method != "POST")
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        } else if (request.body) {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size));
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Hop::onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, this);
            curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Hop::onSeek);
            curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
            if (method != "POST")
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        } else if (method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        }

        // Name and password go separately: a colon in a user name would otherwise move bytes between them.
        if (request.credential) {
            curl_easy_setopt(easy, CURLOPT_USERNAME, request.credential->first.c_str());
            curl_easy_setopt(easy, CURLOPT_PASSWORD, request.credential->second.c_str());
            curl_easy_setopt(easy, CURLOPT_HTTPAUTH, request.digest ? CURLAUTH_DIGEST : CURLAUTH_BASIC);
        }
        if (request.proxy && request.proxyCredential) {
            curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, request.proxyCredential->first.c_str());
            curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, request.proxyCredential->second.c_str());
            curl_easy_setopt(easy, CURLOPT_PROXYAUTH, request.proxyDigest ? CURLAUTH_DIGEST : CURLAUTH_BASIC);
        }
    }

    WireMetrics metrics() const {
        WireMetrics m;
        curl_off_t t = 0;
        if (curl_easy_getinfo(easy, CURLINFO_NAMELOOKUP_TIME_T, &t) == CURLE_OK)
            m.nameLookupMicros = t;
        if (curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &t) == CURLE_OK)
            m.connectMicros = t;
        if (curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &t) == CURLE_OK)
            m.tlsMicros = t;
        if (curl_easy_getinfo(easy, CURLINFO_STARTTRANSFER_TIME_T, &t) == CURLE_OK)
            m.startTransferMicros = t;
        if (curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME_T, &t) == CURLE_OK)
            m.totalMicros = t;
        long version = 0;
        curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
        switch (version) {
        case CURL_HTTP_VERSION_1_0:
            m.httpVersion = "http/1.0";
            break;
        case CURL_HTTP_VERSION_1_1:
            m.httpVersion = "http/1.1";
            break;
        case CURL_HTTP_VERSION_2_0:
            m.httpVersion = "h2";
            break;
        case CURL_HTTP_VERSION_3:
            m.httpVersion = "h3";
            break;
        default:
            break;
        }
        long connects = 0;
        curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
        m.reusedConnection = connects == 0;
        char* ip = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip)
            m.remoteAddress = ip;
        curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &m.remotePort);
        return m;
    }
};

struct CurlTransport::Core {
    std::string label;
    CURLM* multi = nullptr;
    std::mutex mutex;
    // Vectors, swapped with the loop's batch: both keep their storage, so a turn of the loop allocates
    // nothing (a deque allocates even when it stays empty).
    std::vector<std::function<void()>> commands;
    bool quit = false;
    std::map<HopId, std::unique_ptr<Hop>> hops; // I/O thread only
    std::vector<CURL*> idleHandles;             // I/O thread only
    HopId nextHop = 1;                          // I/O thread only
    bool inPerform = false;                     // I/O thread only: curl's callbacks may be running

    ~Core() {
        for (auto& [id, hop] : hops)
            if (hop->added)
                curl_multi_remove_handle(multi, hop->easy);
        hops.clear();
        for (CURL* easy : idleHandles)
            curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
    }

    void add(Hop& hop) {
        curl_multi_add_handle(multi, hop.easy);
        hop.added = true;
    }

    void post(std::function<void()> fn) {
        bool wasEmpty = false;
        {
            std::lock_guard lock(mutex);
            if (quit)
                return;
            wasEmpty = commands.empty();
            commands.push_back(std::move(fn));
        }
        // A queue that already held work has a wake-up on its way and is taken whole: a burst of tasks
        // costs one wake-up, not one each.
        if (wasEmpty)
            curl_multi_wakeup(multi);
    }

    // Only for a hop nobody stopped.
    void finish(Hop& hop, CURLcode code) {
        if (code != CURLE_OK && hop.connectRefusal && !hop.headDelivered) {
            // The proxy wants credentials before it opens the tunnel: its 407 is this hop's response.
            hop.headDelivered = true;
            code = hop.observer->onHead(*hop.connectRefusal) == WireAction::abort ? CURLE_ABORTED_BY_CALLBACK
                                                                                  : CURLE_OK;
        }
        WireResult result;
        result.transportCode = code;
        result.failure = failureFor(code);
        result.message = curl_easy_strerror(code);
        if (code == CURLE_COULDNT_CONNECT) {
            long osErrno = 0;
            curl_easy_getinfo(hop.easy, CURLINFO_OS_ERRNO, &osErrno);
            if (osErrno == ENETUNREACH || osErrno == ENETDOWN)
                result.failure = WireFailure::notConnected;
        }
        if (hop.trustVerdict && !hop.trustVerdict->accept)
            result.failure = hop.trustVerdict->failure;
        else if (hop.overCap)
            result.failure = WireFailure::tooLarge;
        else if (hop.resendRefused) {
            result.failure = WireFailure::connectionLost;
            result.message = "the connection closed before an answer; the request is not sent again";
        }
        else if (hop.aborted)
            result.failure = WireFailure::cancelled;
        else if (hop.readFailed)
            result.failure = WireFailure::sendFailed;
        else if (hop.idleTimedOut)
            result.failure = WireFailure::timedOut;
        result.metrics = hop.metrics();
        auto observer = hop.observer;
        observer->onDone(result);
    }

    void run() {
        pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
        std::vector<std::function<void()>> batch;
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (quit)
                    break;
                batch.swap(commands);
            }
            for (auto& fn : batch)
                fn();
            batch.clear();

            int running = 0;
            inPerform = true;
            curl_multi_perform(multi, &running);
            inPerform = false;
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
                if (msg->msg != CURLMSG_DONE)
                    continue;
                Hop* hop = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &hop);
                const CURLcode code = msg->data.result;
                if (!hop)
                    continue;
                curl_multi_remove_handle(multi, hop->easy);
                hop->added = false;
                const HopId id = hop->id;
                hop->finishedCleanly = code == CURLE_OK;
                if (!hop->stopped) {
                    hop->stopped = true;
                    finish(*hop, code);
                }
                hops.erase(id);
            }
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        std::vector<std::function<void()>> dropped;
        {
            std::lock_guard lock(mutex);
            dropped.swap(commands);
        }
    }
};

CurlTransport::CurlTransport(std::string label, long maxConnectionsPerHost)
    : core_(std::make_shared<Core>()) {
    globalInitOnce();
    core_->label = std::move(label);
    core_->multi = curl_multi_init();
    if (maxConnectionsPerHost > 0)
        curl_multi_setopt(core_->multi, CURLMOPT_MAX_HOST_CONNECTIONS, maxConnectionsPerHost);
    thread_ = spawnThread(core_->label, [core = core_] { core->run(); });
}

CurlTransport::~CurlTransport() {
    shutdown();
}

bool CurlTransport::isIOThread() const {
    return std::this_thread::get_id() == thread_.get_id();
}

bool CurlTransport::isQuietTransportThread() const {
    if (!isIOThread() || core_->hops.size() > 1)
        return false;
    std::lock_guard lock(core_->mutex);
    return core_->commands.empty();
}

void CurlTransport::post(std::function<void()> fn) {
    core_->post(std::move(fn));
}

HopId CurlTransport::start(WireRequest request, std::shared_ptr<WireObserver> observer) {
    auto hop = std::make_unique<Hop>();
    hop->id = core_->nextHop++;
    hop->request = std::move(request);
    hop->observer = std::move(observer);
    hop->idleHandles = &core_->idleHandles;
    hop->configure();
    const HopId id = hop->id;
    Hop& added = *core_->hops.emplace(id, std::move(hop)).first->second;
    if (!core_->inPerform) {
        // Posted work runs between transfers, where adding at once saves a turn of the loop.
        core_->add(added);
        return id;
    }
    // libcurl refuses handles added from inside its callbacks: add at the loop's next safe point.
    core_->post([core = core_.get(), id] {
        auto it = core->hops.find(id);
        if (it == core->hops.end() || it->second->stopped)
            return;
        core->add(*it->second);
    });
    return id;
}

void CurlTransport::stop(HopId id) {
    auto it = core_->hops.find(id);
    if (it == core_->hops.end() || it->second->stopped)
        return;
    it->second->stopped = true;
    core_->post([core = core_.get(), id] {
        auto found = core->hops.find(id);
        if (found == core->hops.end())
            return;
        if (found->second->added)
            curl_multi_remove_handle(core->multi, found->second->easy);
        core->hops.erase(found);
    });
}

void CurlTransport::pause(HopId id) {
    auto it = core_->hops.find(id);
    if (it == core_->hops.end() || it->second->stopped)
        return;
    it->second->suspended = true;
    curl_easy_pause(it->second->easy, CURLPAUSE_ALL);
}

void CurlTransport::resume(HopId id) {
    auto it = core_->hops.find(id);
    if (it == core_->hops.end() || it->second->stopped)
        return;
    it->second->suspended = false;
    it->second->holdBody = false;
    // May deliver the held body at once, re-entering the observer as a transfer callback would.
    const bool wasInPerform = core_->inPerform;
    core_->inPerform = true;
    curl_easy_pause(it->second->easy, CURLPAUSE_CONT);
    core_->inPerform = wasInPerform;
}

void CurlTransport::shutdown() {
    {
        std::lock_guard lock(core_->mutex);
        core_->quit = true;
    }
    curl_multi_wakeup(core_->multi);
    if (!thread_.joinable())
        return;
    // Released on the I/O thread itself (its last task let go of the session): the thread finishes on its
    // own and the shared core goes with it.
    if (isIOThread())
        thread_.detach();
    else
        thread_.join();
}

} // namespace plat
