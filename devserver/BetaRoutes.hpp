#pragma once
// The beta-update service on beta.example.test: GET "/spi/v2/platforms/ios/apps/<bundle>/beta_update_check"
// answers {"url": ..., "version_string": ...} with the update tests set (404 "{}" while none is set) and keeps
// every request for tests to read back. Tests script the next answers (no "url", a "url" that is no URL, a
// body that is not JSON, any status, a delay, a dropped connection) with `scriptNext`.

#include "devserver/Route.hpp"

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace devserver {

class Server;

inline constexpr const char* kBetaHost = "beta.example.test";
inline constexpr const char* kBetaPathPrefix = "/spi/v2/platforms/ios/apps/";

class BetaService {
public:
    struct Update {
        std::string url;
        std::optional<std::string> versionString;
    };

    void setUpdate(std::optional<Update> update);
    void scriptNext(Reply reply);
    std::vector<RecordedRequest> requests() const;

    Reply answer(const RecordedRequest& request);

private:
    mutable std::mutex mutex_;
    std::optional<Update> update_;
    std::deque<Reply> scripted_;
    std::vector<RecordedRequest> requests_;
};

std::shared_ptr<BetaService> installBetaRoutes(Server& server);

} // namespace devserver
