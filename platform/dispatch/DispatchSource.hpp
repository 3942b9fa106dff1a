#pragma once
// A repeating timer source on a queue: first fire at start, then every interval until cancelled.

#include "platform/dispatch/DispatchQueue.hpp"

#include <functional>
#include <memory>

namespace plat {

class DispatchSource {
public:
    static std::shared_ptr<DispatchSource> timer(DispatchQueuePtr queue);

    // startSeconds from now (uptime), then every intervalSeconds (<= 0: once); leeway is stored only.
    void setTimer(double startSeconds, double intervalSeconds, double leewaySeconds = 0);
    void setEventHandler(std::function<void()> fn);
    // Sources start suspended; nothing fires before resume().
    void resume();
    // Any thread; no handler starts after it returns.
    void cancel();
    bool isCancelled() const;

    struct State;
    explicit DispatchSource(DispatchQueuePtr queue);
    ~DispatchSource();

private:
    std::shared_ptr<State> state_;
};

} // namespace plat
