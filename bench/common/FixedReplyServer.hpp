#pragma once
// A loopback HTTP/1.1 server in a child process whose own cost is next to nothing: one thread, one epoll
// set, and the same reply for every request (no routes, no recording, no compression). Against it a
// latency or throughput ratio shows the clients' overheads, not the server's. Start it before any thread
// exists.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

namespace bench {

class FixedReplyServer {
public:
    // Forks; the child answers every request with status 200 and `body` as `contentType` until the parent
    // ends. Returns false when the child could not start.
    bool start(const std::string& body, const std::string& contentType) {
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
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: " + contentType +
                                      "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
            serve(reply, portPipe[1], lifePipe[0]);
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

    ~FixedReplyServer() {
        if (lifeLine_ >= 0) {
            ::close(lifeLine_);
        }
        if (child_ > 0) {
            ::waitpid(child_, nullptr, 0);
        }
    }

    int port() const { return port_; }

private:
    // The length of the body that follows a request head, from its Content-Length (0 without one).
    static std::size_t declaredBodyLength(std::string_view head) {
        std::size_t at = 0;
        while ((at = head.find("\r\n", at)) != std::string_view::npos) {
            at += 2;
            static constexpr std::string_view name = "content-length:";
            if (head.size() - at < name.size()) {
                break;
            }
            bool same = true;
            for (std::size_t i = 0; i < name.size() && same; ++i) {
                same = static_cast<char>(std::tolower(static_cast<unsigned char>(head[at + i]))) == name[i];
            }
            if (same) {
                return std::strtoull(std::string(head.substr(at + name.size(), 20)).c_str(), nullptr, 10);
            }
        }
        return 0;
    }

    // Answers every complete request in `in` and drops it; false when the peer is gone.
    static bool answerBuffered(int fd, std::string& in, const std::string& reply) {
        for (;;) {
            const std::size_t headEnd = in.find("\r\n\r\n");
            if (headEnd == std::string::npos) {
                return true;
            }
            const std::size_t total = headEnd + 4 + declaredBodyLength(std::string_view(in).substr(0, headEnd));
            if (in.size() < total) {
                return true;
            }
            in.erase(0, total);
            std::size_t sent = 0;
            while (sent < reply.size()) {
                const ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    return false;
                }
                sent += static_cast<std::size_t>(n);
            }
        }
    }

    [[noreturn]] static void serve(const std::string& reply, int portOut, int lifeIn) {
        int port = 0;
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener, 1024) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
        (void)::write(portOut, &port, sizeof port);
        ::close(portOut);
        const int poll = ::epoll_create1(0);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = listener;
        ::epoll_ctl(poll, EPOLL_CTL_ADD, listener, &event);
        event.data.fd = lifeIn;
        ::epoll_ctl(poll, EPOLL_CTL_ADD, lifeIn, &event);
        std::map<int, std::string> pending;
        char buffer[64 * 1024];
        epoll_event ready[64];
        for (bool running = port > 0; running;) {
            const int count = ::epoll_wait(poll, ready, 64, -1);
            for (int i = 0; i < count && running; ++i) {
                const int fd = ready[i].data.fd;
                if (fd == lifeIn) {
                    running = false; // the parent has ended
                } else if (fd == listener) {
                    const int connection = ::accept(listener, nullptr, nullptr);
                    if (connection >= 0) {
                        const int one = 1;
                        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                        event.data.fd = connection;
                        ::epoll_ctl(poll, EPOLL_CTL_ADD, connection, &event);
                        pending[connection];
                    }
                } else {
                    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                    std::string& in = pending[fd];
                    if (n > 0) {
                        in.append(buffer, static_cast<std::size_t>(n));
                    }
                    if (n <= 0 || !answerBuffered(fd, in, reply)) {
                        ::epoll_ctl(poll, EPOLL_CTL_DEL, fd, nullptr);
                        ::close(fd);
                        pending.erase(fd);
                    }
                }
            }
        }
        // The parent's exit handlers and buffers are not the child's to run.
        std::_Exit(0);
    }

    pid_t child_ = -1;
    int lifeLine_ = -1;
    int port_ = 0;
};

} // namespace bench
