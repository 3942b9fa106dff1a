#pragma once
// Dispatch queues: the main queue, serial queues and the global concurrent queues, with delayed work.
// Queues are shared through DispatchQueuePtr; pending work keeps its queue alive.

#include "platform/dispatch/Timer.hpp"

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace plat {

inline constexpr double kWaitForever = std::numeric_limits<double>::infinity();

enum class QoS { userInteractive, userInitiated, defaultQoS, utility, background, unspecified };
enum class QueuePriority { high, defaultPriority, low, background };

class DispatchQueue;
using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

namespace detail {
struct QueueCore;
}

struct QueueOptions {
    bool startSuspended = false;
    DispatchQueuePtr target;    // stored only
    QoS qos = QoS::unspecified; // stored only
};

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    static DispatchQueuePtr main();
    static DispatchQueuePtr makeSerial(std::string label, QueueOptions options = {});
    static DispatchQueuePtr global(QoS qos = QoS::defaultQoS);
    static DispatchQueuePtr global(QueuePriority priority);

    // Never runs fn inline, even when called on this queue.
    void async(std::function<void()> fn);

    // Runs fn on the calling thread once the queue's earlier work is done, and returns its result.
    // Onto the current queue, or a queue on the caller's sync chain, it is fatal (never a deadlock).
    template <class F> std::invoke_result_t<F&> sync(F&& fn) {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            syncImpl([&fn] { fn(); });
        } else {
            std::optional<R> out;
            syncImpl([&fn, &out] { out.emplace(fn()); });
            return std::move(*out);
        }
    }

    // Delayed work measured in uptime seconds from now.
    Timer asyncAfter(double seconds, std::function<void()> fn);
    // Delayed work that fires when the wall clock reaches wallDeadline (seconds since 1970), also after a
    // jump.
    Timer asyncAt(double wallDeadline, std::function<void()> fn);

    // Counted; work added while suspended waits. Resuming more often than suspending is fatal.
    // The main and global queues ignore both, as on the device.
    void suspend();
    void resume();

    const std::string& label() const;
    // True when the calling thread runs work of this queue (directly or through sync).
    bool isCurrent() const;
    bool isMain() const;
    bool isSerial() const;
    QoS qos() const;
    DispatchQueuePtr target() const;

    // Label of the queue the calling thread currently runs ("" when none).
    static std::string currentLabel();

    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // Internal: use the factories above.
    explicit DispatchQueue(std::shared_ptr<detail::QueueCore> core);
    const std::shared_ptr<detail::QueueCore>& core() const { return core_; }

private:
    void syncImpl(const std::function<void()>& fn);
    std::shared_ptr<detail::QueueCore> core_;
};

} // namespace plat
