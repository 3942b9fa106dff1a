#pragma once
// Watches whether a host can be reached and tells one delegate, on the main queue, each time the coarse
// network status changes. The reachability service is reached through a table of five functions, so that
// tests (and callers with their own source) can put another service in its place.

#include "platform/net/Reachability.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

using DVUReachabilityStatus = int32_t;
inline constexpr DVUReachabilityStatus kDVUReachabilityUnknown = 0;
inline constexpr DVUReachabilityStatus kDVUReachabilityNotReachable = 1;
inline constexpr DVUReachabilityStatus kDVUReachabilityViaWifi = 2;
inline constexpr DVUReachabilityStatus kDVUReachabilityViaCellular = 3;

// An opaque reachability reference of whichever service the table stands for.
using DVUReachabilityRef = std::shared_ptr<void>;
using DVUReachabilityCallback = std::function<void(uint32_t flags)>;

struct DVUReachabilityApi {
    // Null when the reference cannot be made.
    DVUReachabilityRef (*createWithName)(const char* host);
    bool (*setCallback)(const DVUReachabilityRef& ref, DVUReachabilityCallback callback);
    bool (*scheduleWithRunLoop)(const DVUReachabilityRef& ref);
    bool (*unscheduleFromRunLoop)(const DVUReachabilityRef& ref);
    void (*release)(const DVUReachabilityRef& ref);
};

// The device's own reachability service.
const DVUReachabilityApi* DVUDefaultReachabilityApi();

class DVUReachabilityChecker;

class DVUReachabilityDelegate {
public:
    virtual ~DVUReachabilityDelegate() = default;
    virtual void reachabilityStatusChanged(DVUReachabilityChecker& checker, DVUReachabilityStatus status) = 0;
};

class DVUReachabilityChecker : public std::enable_shared_from_this<DVUReachabilityChecker> {
public:
    struct Private {};
    // Null for an empty host (with its error line).
    static std::shared_ptr<DVUReachabilityChecker> initWithReachabilityDelegate(
        std::weak_ptr<DVUReachabilityDelegate> delegate, const std::string& host);
    DVUReachabilityChecker(Private, std::string host);
    ~DVUReachabilityChecker();
    DVUReachabilityChecker(const DVUReachabilityChecker&) = delete;
    DVUReachabilityChecker& operator=(const DVUReachabilityChecker&) = delete;

    // Kept weakly; null clears it.
    void setReachabilityDelegate(std::weak_ptr<DVUReachabilityDelegate> delegate);
    // An object that is no reachability delegate is refused with its error line, and the old delegate stays.
    template <class T> void setReachabilityDelegate(const std::shared_ptr<T>& object) {
        if constexpr (std::is_convertible_v<T*, DVUReachabilityDelegate*>) {
            setReachabilityDelegate(std::weak_ptr<DVUReachabilityDelegate>(object));
        } else {
            if (!object) {
                setReachabilityDelegate(std::weak_ptr<DVUReachabilityDelegate>());
            } else {
                refuseNonConformingDelegate();
            }
        }
    }
    // Refused while running.
    void setReachabilityApi(const DVUReachabilityApi* api);

    bool isActive() const { return reachability_ != nullptr; }
    bool start();
    void stop();
    static DVUReachabilityStatus statusForFlags(uint32_t flags);
    void reachabilityFlagsChanged(uint32_t flags);

    DVUReachabilityStatus reachabilityStatus() const { return reachabilityStatus_; }
    const std::string& host() const { return host_; }
    std::shared_ptr<DVUReachabilityDelegate> reachabilityDelegate() const { return reachabilityDelegate_.lock(); }
    const DVUReachabilityApi* reachabilityApi() const { return reachabilityApi_; }

private:
    static void refuseNonConformingDelegate();

    const DVUReachabilityApi* reachabilityApi_;
    std::weak_ptr<DVUReachabilityDelegate> reachabilityDelegate_;
    std::string host_;
    DVUReachabilityRef reachability_;
    DVUReachabilityStatus reachabilityStatus_ = kDVUReachabilityUnknown;
};
