#pragma once
// The device check-in exchange: the stored check-in (if any) goes out as a JSON request, the JSON reply
// comes back as a new check-in. Deciding when to check in, retrying and storing are the auth service's.

#include "instance_id/DAVInstanceIDCheckinPreferences.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSession.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

inline constexpr const char* kDAVInstanceIDCheckinSessionDescription = "com.razoza.iid-checkin";
inline constexpr double kDAVInstanceIDCheckinTimeoutSeconds = 60;

class DAVInstanceIDCheckinService {
public:
    using Completion =
        std::function<void(std::shared_ptr<DAVInstanceIDCheckinPreferences>, std::optional<plat::Error>)>;
    // Performs a request in place of the network: gets the built request and the reply handler.
    using TestBlock = std::function<void(const plat::URLRequest&, plat::URLSession::DataCompletion)>;

    DAVInstanceIDCheckinService();
    // Clears the process-wide test block, then invalidates the session.
    ~DAVInstanceIDCheckinService();
    DAVInstanceIDCheckinService(const DAVInstanceIDCheckinService&) = delete;
    DAVInstanceIDCheckinService& operator=(const DAVInstanceIDCheckinService&) = delete;

    static void setCheckinTestBlock(TestBlock block);

    // The completion runs once, on the session's queue (or wherever the test block answers).
    void checkinWithExistingCheckin(std::shared_ptr<const DAVInstanceIDCheckinPreferences> existing,
                                    Completion completion);
    plat::Dictionary
    checkinParametersWithExistingCheckin(const DAVInstanceIDCheckinPreferences* existing) const;
    // The session cannot send afterwards.
    void stopFetching();

    // The reply rules: a check-in, or the error that the completion gets.
    static plat::Result<std::shared_ptr<DAVInstanceIDCheckinPreferences>>
    checkinFromReply(const std::optional<plat::Data>& data, const std::optional<plat::Error>& error);

    const std::shared_ptr<plat::URLSession>& session() const { return session_; }

private:
    std::shared_ptr<plat::URLSession> session_;
};
