#include "app/console/CommandSource.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <deque>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace console {

ScriptSource::ScriptSource(std::vector<std::string> lines) : lines_(std::move(lines)) {}

plat::Result<std::vector<std::string>> ScriptSource::readLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return plat::fileError(plat::FileOperation::Read, errno, path);
    }
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(std::move(line));
    }
    if (in.bad()) {
        return plat::fileError(plat::FileOperation::Read, errno, path);
    }
    return lines;
}

void ScriptSource::next(Deliver deliver) {
    std::optional<SourceLine> line;
    if (position_ < lines_.size()) {
        line = SourceLine{position_ + 1, lines_[position_]};
        ++position_;
    }
    plat::DispatchQueue::main()->async(
        [deliver = std::move(deliver), line = std::move(line)]() mutable { deliver(std::move(line)); });
}

// Main-queue state: lines that arrived and the request waiting for one. Only the main queue touches it;
// the reader thread reaches it by posting.
struct StreamSource::Shared {
    std::deque<std::optional<SourceLine>> arrived;
    Deliver waiting;
    bool ended = false;

    void arrive(std::optional<SourceLine> line) {
        if (waiting) {
            auto deliver = std::move(waiting);
            waiting = nullptr;
            deliver(std::move(line));
        } else {
            arrived.push_back(std::move(line));
        }
    }
};

StreamSource::StreamSource(int fd) : shared_(std::make_shared<Shared>()) {
    std::thread([fd, shared = shared_] {
        std::string pending;
        size_t number = 0;
        char buffer[4096];
        auto post = [&shared](std::optional<SourceLine> line) {
            plat::DispatchQueue::main()->async(
                [shared, line = std::move(line)]() mutable { shared->arrive(std::move(line)); });
        };
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            pending.append(buffer, static_cast<size_t>(n));
            size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                post(SourceLine{++number, pending.substr(0, newline)});
                pending.erase(0, newline + 1);
            }
        }
        if (!pending.empty()) {
            post(SourceLine{++number, pending});
        }
        post(std::nullopt);
    }).detach();
}

StreamSource::~StreamSource() = default;

void StreamSource::next(Deliver deliver) {
    plat::DispatchQueue::main()->async([shared = shared_, deliver = std::move(deliver)]() mutable {
        if (!shared->arrived.empty()) {
            auto line = std::move(shared->arrived.front());
            shared->arrived.pop_front();
            deliver(std::move(line));
        } else {
            shared->waiting = std::move(deliver);
        }
    });
}

} // namespace console
