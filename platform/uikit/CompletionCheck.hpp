#pragma once
// Completion handlers the simulated platform hands to the app must be called exactly once. This wraps such a
// handler, records each one handed out, and reports a second call, or one released or still pending at exit,
// as misuse: a `[device]` warning, and under the test backend a failed test program.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace plat::sim {

struct HandlerRecord {
    std::string name; // the delegate method it was handed with
    int64_t calls = 0;
    bool released = false; // every copy of it is gone
};

// One handed-out handler; shared by all copies of the wrapping function.
class HandlerTicket {
public:
    explicit HandlerTicket(std::string name);
    ~HandlerTicket();
    HandlerTicket(const HandlerTicket&) = delete;
    HandlerTicket& operator=(const HandlerTicket&) = delete;
    // True for the first call only; a later one is recorded as misuse.
    bool call();

private:
    size_t index_;
};

class CompletionHandlers {
public:
    // The handler the app receives: it runs `inner` on its first call only.
    template <class... A>
    static std::function<void(A...)> wrap(std::string name, std::function<void(A...)> inner) {
        auto ticket = std::make_shared<HandlerTicket>(std::move(name));
        return [ticket, inner = std::move(inner)](A... args) {
            if (ticket->call() && inner) {
                inner(std::forward<A>(args)...);
            }
        };
    }

    static std::vector<HandlerRecord> records();
    // Misuse so far (second calls, handlers released uncalled) and handlers not called yet, one line each.
    static std::vector<std::string> problems();
    // Forgets every record, for a test that provokes misuse on purpose.
    static void reset();
};

} // namespace plat::sim
