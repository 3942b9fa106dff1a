#include "devserver/Server.hpp"

#include "devserver/Connections.hpp"
#include "devserver/OpenSSLHandles.hpp"
#include "devserver/RequestLog.hpp"

#include <cerrno>
#include <cstring>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>

namespace devserver {
namespace {

constexpr size_t kChunk = 64 * 1024;
// Replies shorter than this go out as they are even to a client that accepts gzip: the deflate state costs
// more time than the few bytes it could save, on both ends.
constexpr size_t kSmallestCompressedReply = 1024;
// Carries a request's real method while the library handles it as a POST (see installHandlers).
constexpr const char* kStashedMethod = "X-Devserver-Stashed-Method";

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string hostWithoutPort(const std::string& hostHeader) {
    if (hostHeader.starts_with('[')) {
        const auto close = hostHeader.find(']');
        return lowerCase(hostHeader.substr(0, close == std::string::npos ? std::string::npos : close + 1));
    }
    const auto colon = hostHeader.find(':');
    return lowerCase(hostHeader.substr(0, colon));
}

// The library adds the connection's addresses to the request headers; they were never sent.
bool isAddedByLibrary(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

const std::string& generatedPattern() {
    // Long enough that any chunk can start at any phase of the 26-byte cycle.
    static const std::string pattern = [] {
        std::string p(kChunk + 26, '\0');
        for (size_t i = 0; i < p.size(); ++i) {
            p[i] = generatedByte(i);
        }
        return p;
    }();
    return pattern;
}

struct MdFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// Takes a request body chunk by chunk and keeps what the route asked for.
class BodySink {
public:
    explicit BodySink(BodyCapture capture) : capture_(capture) {
        if (capture_ == BodyCapture::Hash) {
            md_.reset(EVP_MD_CTX_new());
            if (!md_ || EVP_DigestInit_ex(md_.get(), EVP_sha256(), nullptr) != 1) {
                md_.reset();
            }
        }
    }

    void add(const char* data, size_t length) {
        size_ += length;
        if (capture_ == BodyCapture::Record) {
            body_.append(data, length);
        } else if (md_) {
            EVP_DigestUpdate(md_.get(), data, length);
        }
    }

    void finish(RecordedRequest& request) {
        request.capture = capture_;
        request.bodySize = size_;
        request.body = std::move(body_);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (md_ && EVP_DigestFinal_ex(md_.get(), digest, &length) == 1) {
            static const char* hex = "0123456789abcdef";
            for (unsigned int i = 0; i < length; ++i) {
                request.bodySha256 += hex[digest[i] >> 4];
                request.bodySha256 += hex[digest[i] & 0xf];
            }
        }
    }

private:
    BodyCapture capture_;
    uint64_t size_ = 0;
    std::string body_;
    std::unique_ptr<EVP_MD_CTX, MdFree> md_;
};

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using ossl::BioFree;
using ossl::PKeyFree;
using ossl::X509Free;

bool useIdentity(SSL_CTX& ctx, const Certificates& certs) {
    std::unique_ptr<BIO, BioFree> certBio(
        BIO_new_mem_buf(certs.leafPem.data(), static_cast<int>(certs.leafPem.size())));
    std::unique_ptr<BIO, BioFree> keyBio(
        BIO_new_mem_buf(certs.keyPem.data(), static_cast<int>(certs.keyPem.size())));
    if (!certBio || !keyBio) {
        return false;
    }
    std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    std::unique_ptr<EVP_PKEY, PKeyFree> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    return cert && key && SSL_CTX_use_certificate(&ctx, cert.get()) == 1 &&
           SSL_CTX_use_PrivateKey(&ctx, key.get()) == 1 && SSL_CTX_check_private_key(&ctx) == 1;
}

void blockSigpipe() {
    // A peer that hangs up mid-answer must cost a write error, not the process. The
    // mask is per thread and inherited by the connection threads this one starts.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

} // namespace

struct Server::Impl {
    // Routes, recordings and the log: shared with the connection threads.
    mutable std::mutex stateMutex;
    mutable std::condition_variable recordedChanged;
    std::vector<Route> routes;
    std::vector<std::shared_ptr<const RecordedRequest>> recorded;
    uint64_t nextSeq = 1;
    RequestLog log;
    std::string caPem;

    // Stop signalling: wakes delayed and stalled answers, and tells start() the listener runs.
    std::mutex stopMutex;
    std::condition_variable stopChanged;
    bool stopping = false;
    bool listening = false;

    ConnectionRegistry connections;

    // Lifecycle: owned by the thread that calls start() and stop().
    std::unique_ptr<SSL_CTX, CtxFree> tlsContext;
    std::unique_ptr<Listener> http;
    std::thread listener;
    std::atomic<int> port{0};
    std::atomic<bool> tls{false};
    std::string error;

    bool start(const Options& options);
    void stop();
    void installHandlers();
    void serve(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* reader);
    Route findRoute(const std::string& method, const std::string& host, const std::string& path) const;
    std::shared_ptr<const RecordedRequest> record(RecordedRequest request);
    void answer(const Reply& reply, httplib::Response& res);
    void drop();
    // Waits up to `duration`; returns early, with true, once the server is stopping.
    bool waitUnlessStopping(std::chrono::milliseconds duration);
};

bool Server::Impl::start(const Options& options) {
    if (http) {
        error = "devserver is already running on port " + std::to_string(port.load());
        return false;
    }
    if (options.port < 0 || options.port > 65535) {
        error = "invalid port " + std::to_string(options.port);
        return false;
    }
    if (options.tls) {
        std::vector<std::string> names{"*.example.test", "example.test"};
        names.insert(names.end(), options.extraNames.begin(), options.extraNames.end());
        Certificates certs;
        try {
            certs = makeCertificates(options.certificateMode, names, options.wrongHostName);
        } catch (const std::exception& e) {
            error = e.what();
            return false;
        }
        {
            std::lock_guard lock(stateMutex);
            caPem = certs.caPem;
        }
        tlsContext.reset(SSL_CTX_new(TLS_server_method()));
        if (!tlsContext || !useIdentity(*tlsContext, certs)) {
            error = "cannot set up the TLS context";
            tlsContext.reset();
            return false;
        }
    } else {
        tlsContext.reset();
    }
    http = std::make_unique<Listener>(tlsContext.get(), connections, options.keepAliveTimeout);
    if (!options.logFile.empty()) {
        std::lock_guard lock(stateMutex);
        if (!log.open(options.logFile, error)) {
            http.reset();
            return false;
        }
    }

    installHandlers();
    // The library's default also sets SO_REUSEPORT, which lets a second server bind a taken
    // port and silently take half of its connections. SO_REUSEADDR alone still allows a quick
    // restart on the same port.
    http->set_socket_options([](int fd) {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    http->set_keep_alive_max_count(1000);
    http->new_task_queue = [this]() -> httplib::TaskQueue* {
        // Called by the listener once it is running; from here on stop() can end it.
        {
            std::lock_guard lock(stopMutex);
            listening = true;
        }
        stopChanged.notify_all();
        return std::make_unique<ConnectionThreads>().release(); // the library owns it
    };

    errno = 0;
    const int bound = options.port == 0 ? http->bind_to_any_port("127.0.0.1")
                                        : (http->bind_to_port("127.0.0.1", options.port) ? options.port : -1);
    if (bound <= 0) {
        // The system's reason, so "port in use" and "not allowed" read apart.
        const int reason = errno;
        error = "cannot listen on 127.0.0.1:" + std::to_string(options.port) +
                (reason != 0 ? std::string(": ") + std::strerror(reason) : std::string());
        http.reset();
        std::lock_guard lock(stateMutex);
        log.close();
        return false;
    }
    port = bound;
    tls = options.tls;
    {
        std::lock_guard lock(stopMutex);
        stopping = false;
        listening = false;
    }
    connections.reset();
    listener = std::thread([this] {
        blockSigpipe();
        http->listen_after_bind();
        {
            std::lock_guard lock(stopMutex);
            listening = true;
        }
        stopChanged.notify_all();
    });
    std::unique_lock lock(stopMutex);
    stopChanged.wait(lock, [this] { return listening; });
    error.clear();
    return true;
}

void Server::Impl::stop() {
    if (!http) {
        return;
    }
    {
        std::lock_guard lock(stopMutex);
        stopping = true;
    }
    stopChanged.notify_all();
    http->stop();
    // Idle kept-alive connections would otherwise hold their threads until the keep-alive timeout.
    connections.shutdownAll();
    listener.join();
    http.reset();
    tlsContext.reset();
    std::lock_guard lock(stateMutex);
    log.close();
}

void Server::Impl::installHandlers() {
    // The library routes by regular expression per method; the script does its own matching,
    // so everything goes to serve(). [\s\S] because '.' would not match a decoded newline.
    const std::string all = R"([\s\S]*)";
    const httplib::Server::Handler plain = [this](const httplib::Request& req, httplib::Response& res) {
        serve(req, res, nullptr);
    };
    const httplib::Server::HandlerWithContentReader streamed =
        [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
            serve(req, res, &reader);
        };
    http->Get(all, plain);
    http->Options(all, plain);
    http->Post(all, plain);
    http->Post(all, streamed);
    http->Put(all, plain);
    http->Put(all, streamed);
    http->Patch(all, plain);
    http->Patch(all, streamed);
    http->Delete(all, plain);
    http->Delete(all, streamed);
    // The library reads a body only for POST, PUT, PATCH and DELETE; the body of any other request
    // would stay in the stream and be parsed as the next request. Such a request passes through
    // the library as a POST, and serve() puts its method back. The request object is the
    // library's own mutable one, handed to handlers as const.
    http->set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        const std::string length = req.get_header_value("Content-Length");
        const bool declaresBody = req.has_header("Transfer-Encoding") || (!length.empty() && length != "0");
        const bool bodyIsRead =
            req.method == "POST" || req.method == "PUT" || req.method == "PATCH" || req.method == "DELETE";
        if (declaresBody && !bodyIsRead) {
            auto& mutableRequest = const_cast<httplib::Request&>(req);
            mutableRequest.headers.emplace(kStashedMethod, req.method);
            mutableRequest.method = "POST";
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content("devserver: handler failed\n", "text/plain");
    });
}

Route Server::Impl::findRoute(const std::string& method, const std::string& host,
                              const std::string& path) const {
    std::lock_guard lock(stateMutex);
    for (auto it = routes.rbegin(); it != routes.rend(); ++it) {
        if (it->matches(method, host, path)) {
            return *it;
        }
    }
    return {};
}

std::shared_ptr<const RecordedRequest> Server::Impl::record(RecordedRequest request) {
    std::shared_ptr<const RecordedRequest> stored;
    {
        std::lock_guard lock(stateMutex);
        request.seq = nextSeq++;
        stored = std::make_shared<const RecordedRequest>(std::move(request));
        recorded.push_back(stored);
        log.append(*stored);
    }
    recordedChanged.notify_all();
    return stored;
}

void Server::Impl::serve(const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader* reader) {
    auto& mutableRequest = const_cast<httplib::Request&>(req); // see the notes where it is changed
    if (auto stashed = req.headers.find(kStashedMethod); stashed != req.headers.end()) {
        mutableRequest.method = stashed->second; // so a HEAD is answered without a body
        mutableRequest.headers.erase(stashed);
    }
    // Each connection is served on a thread of its own (ConnectionThreads), so a thread's count is its
    // connection's.
    thread_local uint64_t requestsOnThisConnection = 0;
    RecordedRequest request;
    request.tls = tls.load();
    request.onConnection = ++requestsOnThisConnection;
    request.method = req.method;
    request.host = hostWithoutPort(req.get_header_value("Host"));
    const auto question = req.target.find('?');
    request.path = req.target.substr(0, question);
    request.query = question == std::string::npos ? std::string() : req.target.substr(question + 1);
    for (const auto& [name, value] : req.headers) {
        if (!isAddedByLibrary(name)) {
            request.headers.emplace_back(lowerCase(name), value);
        }
    }

    const Route route = findRoute(request.method, request.host, request.path);
    BodySink body(route.capture);
    if (reader) {
        // The library would parse multipart bodies and undo content codings (failing on ones it
        // does not know); the record wants the bytes as sent, so both headers are hidden while
        // reading.
        auto& headers = mutableRequest.headers;
        httplib::Headers hidden;
        for (auto it = headers.begin(); it != headers.end();) {
            const bool multipart = lowerCase(it->first) == "content-type" &&
                                   lowerCase(it->second).starts_with("multipart/form-data");
            if (multipart || lowerCase(it->first) == "content-encoding") {
                hidden.insert(*it);
                it = headers.erase(it);
            } else {
                ++it;
            }
        }
        const bool complete = (*reader)([&](const char* data, size_t length) {
            body.add(data, length);
            return true;
        });
        headers.insert(hidden.begin(), hidden.end());
        if (!complete) {
            // The body never fully arrived (the client went away or sent a broken chunk): there is
            // no request to record or answer.
            res.status = 400;
            res.set_header("Connection", "close");
            return;
        }
    } else {
        body.add(req.body.data(), req.body.size());
    }
    body.finish(request);
    const auto stored = record(std::move(request));

    Reply reply;
    if (!route.handler) {
        reply = Reply::text(404, "devserver: no route for " + stored->method + " " + stored->path + "\n");
    } else {
        try {
            reply = route.handler(*stored);
        } catch (const std::exception& e) {
            reply = Reply::text(500, std::string("devserver: handler failed: ") + e.what() + "\n");
        }
    }
    if (reply.kind == Reply::Kind::Respond && reply.body.size() < kSmallestCompressedReply) {
        // The library picks the reply's coding from the request's Accept-Encoding once the handler is done.
        mutableRequest.headers.erase("Accept-Encoding");
    }
    answer(reply, res);
}

void Server::Impl::answer(const Reply& reply, httplib::Response& res) {
    if (reply.delay.count() > 0 && waitUnlessStopping(reply.delay)) {
        drop();
        return;
    }
    if (reply.kind == Reply::Kind::Drop) {
        drop();
        return;
    }

    res.status = reply.status;
    std::string contentType;
    for (const auto& [name, value] : reply.headers) {
        const std::string lower = lowerCase(name);
        if (lower == "content-length" || lower == "transfer-encoding") {
            continue;
        }
        if (lower == "content-type") {
            contentType = value;
        }
        // Providers set Content-Type themselves; a second one would confuse clients.
        if (lower != "content-type" || reply.kind == Reply::Kind::Respond) {
            res.set_header(name, value);
        }
    }

    switch (reply.kind) {
    case Reply::Kind::Respond:
    case Reply::Kind::Drop:
        res.body = reply.body;
        break;
    case Reply::Kind::Stall: {
        auto partial = std::make_shared<const std::string>(reply.body);
        const auto deadline = std::chrono::steady_clock::now() + reply.stallFor;
        auto stall = [this, partial, deadline](size_t offset, httplib::DataSink& sink) {
            if (offset < partial->size()) {
                return sink.write(partial->data() + offset, partial->size() - offset);
            }
            waitUnlessStopping(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            return false; // closes the connection mid-body
        };
        if (contentType.empty()) {
            contentType = "application/octet-stream";
        }
        if (reply.declaredLength == 0) {
            res.set_chunked_content_provider(contentType, stall);
        } else {
            // Announce more than is sent, or the body would simply complete.
            const size_t declared =
                static_cast<size_t>(std::max<uint64_t>(reply.declaredLength, partial->size() + 1));
            res.set_content_provider(
                declared, contentType,
                [stall](size_t offset, size_t, httplib::DataSink& sink) { return stall(offset, sink); });
        }
        break;
    }
    case Reply::Kind::Generate: {
        const uint64_t size = reply.generatedSize;
        if (contentType.empty()) {
            contentType = "application/octet-stream";
        }
        if (reply.chunked) {
            res.set_chunked_content_provider(contentType, [size](size_t offset, httplib::DataSink& sink) {
                if (offset >= size) {
                    sink.done();
                    return true;
                }
                const size_t n = static_cast<size_t>(std::min<uint64_t>(size - offset, kChunk));
                return sink.write(generatedPattern().data() + offset % 26, n);
            });
        } else {
            res.set_content_provider(static_cast<size_t>(size), contentType,
                                     [](size_t offset, size_t length, httplib::DataSink& sink) {
                                         const size_t n = std::min(length, kChunk);
                                         return sink.write(generatedPattern().data() + offset % 26, n);
                                     });
        }
        break;
    }
    }
}

void Server::Impl::drop() {
    // Runs on the connection's own thread. The library's answer then fails to write, and the
    // connection closes.
    connections.shutdownCurrent();
}

bool Server::Impl::waitUnlessStopping(std::chrono::milliseconds duration) {
    std::unique_lock lock(stopMutex);
    return stopChanged.wait_for(lock, duration, [this] { return stopping; });
}

Server::Server() : impl_(std::make_unique<Impl>()) {}

Server::~Server() {
    stop();
}

bool Server::start(const Options& options) {
    return impl_->start(options);
}

void Server::stop() {
    impl_->stop();
}

bool Server::running() const {
    return impl_->http != nullptr;
}

const std::string& Server::error() const {
    return impl_->error;
}

int Server::port() const {
    return impl_->port.load();
}

bool Server::tls() const {
    return impl_->tls.load();
}

std::string Server::caPem() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->caPem;
}

bool Server::writeCa(const std::string& path) const {
    const std::string pem = caPem();
    if (pem.empty()) {
        return false;
    }
    std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
    out << pem;
    out.close();
    return !out.fail();
}

std::string Server::resolveEntry(const std::string& host) const {
    return host + (tls() ? ":443" : ":80") + ":127.0.0.1:" + std::to_string(port());
}

void Server::route(Route route) {
    std::lock_guard lock(impl_->stateMutex);
    impl_->routes.push_back(std::move(route));
}

void Server::route(std::string method, std::string path, Reply reply) {
    Route r;
    r.method = std::move(method);
    r.path = std::move(path);
    r.handler = [reply = std::move(reply)](const RecordedRequest&) { return reply; };
    route(std::move(r));
}

void Server::route(std::string method, std::string path, Handler handler) {
    Route r;
    r.method = std::move(method);
    r.path = std::move(path);
    r.handler = std::move(handler);
    route(std::move(r));
}

void Server::clearRoutes() {
    std::lock_guard lock(impl_->stateMutex);
    impl_->routes.clear();
}

std::vector<RecordedRequest> Server::requests() const {
    std::lock_guard lock(impl_->stateMutex);
    std::vector<RecordedRequest> out;
    out.reserve(impl_->recorded.size());
    for (const auto& r : impl_->recorded) {
        out.push_back(*r);
    }
    return out;
}

size_t Server::requestCount() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->recorded.size();
}

bool Server::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->stateMutex);
    return impl_->recordedChanged.wait_for(lock, timeout, [&] { return impl_->recorded.size() >= count; });
}

void Server::clearRequests() {
    std::lock_guard lock(impl_->stateMutex);
    impl_->recorded.clear();
}

} // namespace devserver
