#pragma once
// The devserver's side of each accepted connection: a listener that runs every
// connection on its own thread, over plain TCP or TLS, and keeps track of the open
// sockets so one can be dropped without an answer and all can be ended at stop.

#include <httplib.h>
#include <openssl/ssl.h>

#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace devserver {

// The open connections by the thread serving them. Closing goes through here too, so
// a descriptor is never shut down after it was closed and perhaps reused.
class ConnectionRegistry {
public:
    // False once stopping: the connection is closed at once.
    bool add(int fd);
    void close(int fd);
    // Shuts down the connection served by the calling thread, if any.
    void shutdownCurrent();
    // Shuts down every connection and refuses new ones until reset().
    void shutdownAll();
    void reset();

private:
    std::mutex mutex_;
    std::map<std::thread::id, int> open_;
    bool stopping_ = false;
};

// One thread per connection, so slow, stalled or kept-alive connections never keep a
// new one waiting for a slot, as they could in the library's fixed pool.
class ConnectionThreads final : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> work) override;
    void shutdown() override;

private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void reapFinished();

    std::mutex mutex_;
    std::list<Entry> threads_;
};

// The library's request parsing and answering, over connections this class accepts,
// encrypts (when given a TLS context) and closes itself.
class Listener final : public httplib::Server {
public:
    Listener(SSL_CTX* tls, ConnectionRegistry& registry, std::chrono::seconds keepAliveTimeout);

private:
    bool process_and_close_socket(socket_t sock) override;

    SSL_CTX* tls_;
    ConnectionRegistry& registry_;
    std::chrono::seconds keepAliveTimeout_;
};

} // namespace devserver
