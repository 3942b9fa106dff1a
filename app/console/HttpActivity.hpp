#pragma once
// Counts the HTTP client's requests that are running (resumed and not yet completed or suspended), from the
// client's own task notifications, so the console can wait for a registration POST to finish before it
// plays the next command or quits.

#include <cstdint>
#include <mutex>
#include <set>

namespace console {

class HttpActivity {
public:
    HttpActivity();
    ~HttpActivity();
    HttpActivity(const HttpActivity&) = delete;
    HttpActivity& operator=(const HttpActivity&) = delete;

    bool busy() const;
    // Grows with every notification, so a caller can tell that something happened between two looks.
    uint64_t changes() const;

private:
    mutable std::mutex mutex_;
    std::set<int64_t> running_;   // task identifiers
    std::set<int64_t> completed_; // task identifiers whose completion was posted
    uint64_t changes_ = 0;
};

} // namespace console
