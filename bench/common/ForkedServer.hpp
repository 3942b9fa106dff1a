#pragma once
// A loopback devserver in a child process, as a real back end is: in the benchmark's own process, the
// server's allocator (which returns memory to the system after every compressed reply) sent TLB-shootdown
// interrupts to every CPU running a thread of the process, the client's threads under test included, and
// charged the client for the server's housekeeping. Start it before any thread exists.

#include "devserver/Server.hpp"

#include <csignal>
#include <cstdlib>
#include <malloc.h>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

class ForkedServer {
public:
    // Forks; the child serves plain HTTP with the routes `setUp` adds until the parent ends. Returns false
    // when the child could not start.
    bool start(const std::function<void(devserver::Server&)>& setUp) {
        int portPipe[2];
        int lifePipe[2];
        if (::pipe(portPipe) != 0 || ::pipe(lifePipe) != 0) {
            return false;
        }
        child_ = ::fork();
        if (child_ < 0) {
            return false;
        }
        if (child_ == 0) {
            ::close(portPipe[0]);
            ::close(lifePipe[1]);
            serve(setUp, portPipe[1], lifePipe[0]);
        }
        ::close(portPipe[1]);
        ::close(lifePipe[0]);
        lifeLine_ = lifePipe[1];
        int port = 0;
        const bool got = ::read(portPipe[0], &port, sizeof port) == static_cast<ssize_t>(sizeof port);
        ::close(portPipe[0]);
        port_ = got ? port : 0;
        return port_ > 0;
    }

    ~ForkedServer() {
        if (lifeLine_ >= 0) {
            ::close(lifeLine_); // the child reads end-of-file and leaves
        }
        if (child_ > 0) {
            ::waitpid(child_, nullptr, 0);
        }
    }

    int port() const { return port_; }

private:
    [[noreturn]] static void serve(const std::function<void(devserver::Server&)>& setUp, int portOut,
                                   int lifeIn) {
        keepHeapMemory();
        int port = 0;
        {
            devserver::Server server;
            devserver::Options options;
            options.tls = false;
            if (server.start(options)) {
                setUp(server);
                port = server.port();
            }
            (void)::write(portOut, &port, sizeof port);
            ::close(portOut);
            char byte;
            while (port > 0 && ::read(lifeIn, &byte, 1) > 0) {
            }
        }
        // The parent's exit handlers and buffers are not the child's to run.
        std::_Exit(0);
    }

    // The server's allocator would hand freed memory back to the system between requests, and a server
    // that has served one side longer would have stopped doing so: the server costs every side the same
    // when it keeps what it took from the start.
    static void keepHeapMemory() {
        ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
        ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
        ::mallopt(M_TOP_PAD, 64 << 20);
    }

    pid_t child_ = -1;
    int lifeLine_ = -1;
    int port_ = 0;
};

} // namespace bench
