#pragma once
// The process's notification centre: observers by name and sender, called in registration order on the
// posting thread or on an operation queue of their choice. Observers may add, remove and post from inside a
// call; a removed observer is never called again, also by a post already under way.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

class OperationQueue;

// A sender's identity: compared, never dereferenced.
using ObjectId = const void*;

struct Notification {
    std::string name;
    ObjectId object = nullptr;
    Dictionary userInfo;
};

class NotificationCenter {
public:
    using Block = std::function<void(const Notification&)>;

    // What addObserver hands back; give it to removeObserver. A default token removes nothing.
    struct Token {
        std::uint64_t id = 0;
        explicit operator bool() const { return id != 0; }
        friend bool operator==(const Token&, const Token&) = default;
    };

    static NotificationCenter& defaultCenter();
    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // name none = every name; sender nullptr = every sender. With a queue, each call is an operation on it
    // and post() waits for that operation (a post from that queue runs it inline).
    Token addObserver(std::optional<std::string> name, ObjectId sender, std::shared_ptr<OperationQueue> queue,
                      Block block);
    void removeObserver(Token token);

    // Observers keyed by their owner, for the owner to remove all at once (or those of one name and sender).
    void addObserver(const void* owner, std::optional<std::string> name, ObjectId sender, Block block);
    void removeObserver(const void* owner);
    void removeObserver(const void* owner, std::optional<std::string> name, ObjectId sender);

    void post(const Notification& notification);
    void post(std::string name, ObjectId sender = nullptr, Dictionary userInfo = {});

    // Observers registered now (for tests that check nothing is left behind).
    std::size_t observerCount() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace plat
