#pragma once
// An instance-ID device test with the back end running: devserver over real TLS with its instance-ID
// routes, the device's network sent to it, and a way to wait (in real time, virtual time standing still)
// for the loopback I/O.

#include "devserver/InstanceIdRoutes.hpp"
#include "devserver/Server.hpp"
#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/tests/InstanceIDTestSupport.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/net/SimNetwork.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace iid_test {

class InstanceIDServerTest : public InstanceIDDeviceTest {
protected:
    InstanceIDServerTest() {
        service = devserver::installInstanceIdRoutes(server);
        ready = server.start();
        const std::string ca = plat::AppHome::tmp() + "/iid-test-ca.pem";
        ready = ready && server.writeCa(ca);
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry(devserver::kInstanceIdHost));
        plat::sim::Network::setReachability(2);
        (void)plat::FileManager::defaultManager().createDirectory(
            plat::AppHome::applicationSupport() + "/" + kDAVInstanceIDSubDirectoryName, true);
    }
    void SetUp() override { ASSERT_TRUE(ready) << server.error(); }

    static bool waitFor(const std::function<bool()>& done, double seconds = 20) {
        return plat::Virtual::runUntil(done, seconds);
    }
    // The requests to `path`, in order.
    std::vector<devserver::RecordedRequest> requestsTo(const std::string& path) const {
        std::vector<devserver::RecordedRequest> out;
        for (auto& request : server.requests()) {
            if (request.path == path) {
                out.push_back(request);
            }
        }
        return out;
    }

    devserver::Server server;
    std::shared_ptr<devserver::InstanceIdService> service;
    bool ready = false;
};

} // namespace iid_test
