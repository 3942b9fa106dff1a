#pragma once
// The instance-ID back end on iid.example.test: device check-in ("/checkin", JSON) and token registration
// ("/iid/register", a form with line-oriented answers), over an in-memory store of devices and
// registrations that tests read back. Tests script faults by adding routes of their own, which take
// precedence.

#include "devserver/Route.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace devserver {

class Server;

inline constexpr const char* kInstanceIdHost = "iid.example.test";

class InstanceIdService {
public:
    struct Device {
        int64_t id = 0;
        int64_t securityToken = 0;
        std::string digest;
        int64_t lastCheckinMsec = 0;
        int checkins = 0; // check-ins answered with these credentials, the first included
    };
    struct Registration {
        std::string device; // the device ID in decimal
        std::string identity;
        std::string sender;
        std::string scope;
        std::string apnsToken; // empty without one
        std::string token;
    };

    std::vector<Device> devices() const;
    std::optional<Device> device(int64_t id) const;
    std::vector<Registration> registrations() const;

    Reply checkin(const RecordedRequest& request);
    Reply registerToken(const RecordedRequest& request);

private:
    int64_t newCredential();

    mutable std::mutex mutex_;
    std::map<int64_t, Device> devices_;
    std::vector<Registration> registrations_;
    std::mt19937_64 random_{std::random_device{}()};
    uint64_t issued_ = 0;
};

std::shared_ptr<InstanceIdService> installInstanceIdRoutes(Server& server);

} // namespace devserver
