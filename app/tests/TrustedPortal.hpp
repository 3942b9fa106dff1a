#pragma once
// The local portal for the app's tests that talk to it over loopback HTTPS: its routes, a test CA the URL
// sessions trust, and the portal's host name resolved to it.

#include "devserver/PortalRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/net/SimNetwork.hpp"

#include <gtest/gtest.h>

#include <string>

namespace app_test {

// Starts `portal` and writes its CA to `caPath`; use as ASSERT_TRUE(startTrustedPortal(...)).
inline ::testing::AssertionResult startTrustedPortal(devserver::Server& portal, const std::string& caPath) {
    devserver::installPortalRoutes(portal);
    if (!portal.start()) {
        return ::testing::AssertionFailure() << portal.error();
    }
    if (!portal.writeCa(caPath)) {
        return ::testing::AssertionFailure() << "cannot write the test CA to " << caPath;
    }
    plat::sim::Network::setCAFile(caPath);
    plat::sim::Network::setResolve(portal.resolveEntry(devserver::kPortalHost));
    return ::testing::AssertionSuccess();
}

} // namespace app_test
