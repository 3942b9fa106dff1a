#include "devserver/Connections.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

namespace devserver {
namespace {

bool waitFor(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd p{fd, events, 0};
    int n = 0;
    do {
        n = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

void addressOf(bool local, int fd, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int rc = local ? getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length)
                         : getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
    if (rc != 0) {
        return;
    }
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        port = ntohs(in.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& in = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in.sin6_addr, text, sizeof text);
        port = ntohs(in.sin6_port);
    }
    ip = text;
}

// A connection as the library reads and writes it. Reads wait up to the read timeout;
// a shutdown from stop() or a drop ends the wait at once.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(int fd, SSL* ssl, std::chrono::milliseconds readTimeout,
                     std::chrono::milliseconds writeTimeout)
        : fd_(fd), ssl_(ssl), readTimeout_(readTimeout), writeTimeout_(writeTimeout) {}

    bool is_readable() const override { return buffered() || waitFor(fd_, POLLIN, readTimeout_); }

    bool is_writable() const override { return waitFor(fd_, POLLOUT, writeTimeout_); }

    ssize_t read(char* ptr, size_t size) override {
        if (ssl_) {
            if (SSL_pending(ssl_) <= 0 && !waitFor(fd_, POLLIN, readTimeout_)) {
                return -1;
            }
            const int n = SSL_read(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
            return n > 0 ? n : (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
        }
        // The library reads request lines a byte at a time; serve those from a buffer.
        if (bufferStart_ == bufferEnd_) {
            if (!waitFor(fd_, POLLIN, readTimeout_)) {
                return -1;
            }
            ssize_t n = 0;
            do {
                n = ::recv(fd_, buffer_, sizeof buffer_, 0);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) {
                return n;
            }
            bufferStart_ = 0;
            bufferEnd_ = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, bufferEnd_ - bufferStart_);
        std::copy_n(buffer_ + bufferStart_, n, ptr);
        bufferStart_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!waitFor(fd_, POLLOUT, writeTimeout_)) {
            return -1;
        }
        if (ssl_) {
            const int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
            return n > 0 ? n : -1;
        }
        ssize_t n = 0;
        do {
            n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        addressOf(false, fd_, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override { addressOf(true, fd_, ip, port); }
    socket_t socket() const override { return fd_; }

    // Whether a request is already waiting in a buffer, so no wait on the socket is needed.
    bool buffered() const { return ssl_ ? SSL_pending(ssl_) > 0 : bufferStart_ < bufferEnd_; }

private:
    int fd_;
    SSL* ssl_;
    std::chrono::milliseconds readTimeout_;
    std::chrono::milliseconds writeTimeout_;
    char buffer_[4096];
    size_t bufferStart_ = 0;
    size_t bufferEnd_ = 0;
};

struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

} // namespace

bool ConnectionRegistry::add(int fd) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return false;
    }
    open_[std::this_thread::get_id()] = fd;
    return true;
}

void ConnectionRegistry::close(int fd) {
    std::lock_guard lock(mutex_);
    if (auto it = open_.find(std::this_thread::get_id()); it != open_.end() && it->second == fd) {
        open_.erase(it);
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

void ConnectionRegistry::shutdownCurrent() {
    std::lock_guard lock(mutex_);
    if (auto it = open_.find(std::this_thread::get_id()); it != open_.end()) {
        ::shutdown(it->second, SHUT_RDWR);
    }
}

void ConnectionRegistry::shutdownAll() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& [thread, fd] : open_) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

void ConnectionRegistry::reset() {
    std::lock_guard lock(mutex_);
    stopping_ = false;
}

void ConnectionThreads::enqueue(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    reapFinished();
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        threads_.push_back({std::thread([work, done] {
                                work();
                                done->store(true);
                            }),
                            done});
    } catch (const std::system_error&) {
        // Out of threads: serve this connection on the accepting thread rather than lose it.
        work();
    }
}

void ConnectionThreads::shutdown() {
    std::list<Entry> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(threads_);
    }
    for (auto& entry : all) {
        entry.thread.join();
    }
}

void ConnectionThreads::reapFinished() {
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
}

Listener::Listener(SSL_CTX* tls, ConnectionRegistry& registry, std::chrono::seconds keepAliveTimeout)
    : tls_(tls), registry_(registry), keepAliveTimeout_(keepAliveTimeout) {}

bool Listener::process_and_close_socket(socket_t sock) {
    if (!registry_.add(sock)) {
        registry_.close(sock);
        return false;
    }
    const std::chrono::milliseconds readTimeout(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000);
    const std::chrono::milliseconds writeTimeout(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000);

    // The socket blocks; these bound a TLS handshake or a large write to a peer that went quiet.
    const timeval readLimit{static_cast<time_t>(readTimeout.count() / 1000),
                            static_cast<suseconds_t>(readTimeout.count() % 1000 * 1000)};
    const timeval writeLimit{static_cast<time_t>(writeTimeout.count() / 1000),
                             static_cast<suseconds_t>(writeTimeout.count() % 1000 * 1000)};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &readLimit, sizeof readLimit);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &writeLimit, sizeof writeLimit);
    // Headers and body go out in separate writes; without this the body can wait for a delayed ACK.
    const int yes = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);

    std::unique_ptr<SSL, SslFree> ssl;
    if (tls_) {
        ssl.reset(SSL_new(tls_));
        if (!ssl || SSL_set_fd(ssl.get(), sock) != 1 || SSL_accept(ssl.get()) != 1) {
            registry_.close(sock);
            return false;
        }
    }

    ConnectionStream stream(sock, ssl.get(), readTimeout, writeTimeout);
    bool ok = true;
    size_t remaining = keep_alive_max_count_;
    // Between requests a connection waits up to the keep-alive timeout; stop() shuts the socket
    // down, which ends that wait at once.
    while (remaining > 0 && svr_sock_ != INVALID_SOCKET &&
           (stream.buffered() || waitFor(sock, POLLIN, keepAliveTimeout_))) {
        --remaining;
        bool closed = false;
        ok = process_request(stream, remaining == 0, closed, [&](httplib::Request& req) {
            req.ssl = ssl.get();
            // The library would cut a scripted answer down to the requested Range a second time;
            // the script alone decides what a ranged request gets.
            req.ranges.clear();
        });
        if (!ok || closed) {
            break;
        }
    }
    if (ssl && ok) {
        SSL_shutdown(ssl.get());
    }
    ssl.reset();
    registry_.close(sock);
    return ok;
}

} // namespace devserver
