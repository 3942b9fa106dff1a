#pragma once
// A loopback HTTP(S) server that plays the back ends for tests and the demo: it
// records every request and answers from a per-route script.
//
// Routes and recordings may be used from any thread, also while serving; start() and
// stop() belong to the owning thread (never call stop() from a route handler).

#include "devserver/Certificates.hpp"
#include "devserver/Route.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace devserver {

struct Options {
    int port = 0; // 0 picks a free port
    bool tls = true;
    CertificateMode certificateMode = CertificateMode::Trusted;
    // Served names besides "*.example.test" and "example.test" (DNS names or IP addresses).
    std::vector<std::string> extraNames;
    std::string wrongHostName = "unrelated.invalid"; // the leaf's only name in WrongHost mode
    std::string logFile;                             // appends one JSON line per request when set
    // How long an idle kept-alive connection stays open (stop() ends it at once).
    std::chrono::seconds keepAliveTimeout{5};
};

class Server {
public:
    Server();
    ~Server(); // stops
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds 127.0.0.1 and serves on background threads. Returns false with error() set when
    // the port is taken, the log cannot be opened or the server is already running.
    // Recordings and routes survive a stop and a new start.
    [[nodiscard]] bool start(const Options& options = {});
    // Closes the listener and every connection (waking stalled and delayed answers) and
    // joins all threads. Safe to call twice.
    void stop();
    bool running() const;
    const std::string& error() const;

    int port() const;
    bool tls() const;
    // The PEM of the CA that signs the served certificate (empty before the first TLS start).
    std::string caPem() const;
    bool writeCa(const std::string& path) const;
    // "host:443:127.0.0.1:<port>" (":80:" for plain HTTP): one PORTAL_APP_RESOLVE entry,
    // also the form of libcurl's CURLOPT_CONNECT_TO.
    std::string resolveEntry(const std::string& host) const;

    // The most recently added matching route answers; without one the answer is 404.
    void route(Route route);
    void route(std::string method, std::string path, Reply reply);
    void route(std::string method, std::string path, Handler handler);
    void clearRoutes();

    std::vector<RecordedRequest> requests() const;
    size_t requestCount() const;
    // Waits (in real time) until at least `count` requests have been recorded.
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    void clearRequests();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace devserver
