#include "devserver/DefaultRoutes.hpp"

#include "devserver/BetaRoutes.hpp"
#include "devserver/CrashReportRoutes.hpp"
#include "devserver/EventRoutes.hpp"
#include "devserver/InstanceIdRoutes.hpp"
#include "devserver/KitHostRoutes.hpp"
#include "devserver/LogRoutes.hpp"
#include "devserver/MeasurementRoutes.hpp"
#include "devserver/MediaRoutes.hpp"
#include "devserver/PortalRoutes.hpp"
#include "devserver/PushRoutes.hpp"
#include "devserver/Server.hpp"

namespace devserver {

const std::vector<std::string>& servedHosts() {
    static const std::vector<std::string> hosts{
        "portal.example.test", "www.example.test",     "push.example.test",     "measurement.example.test",
        "logs.example.test",   "iid.example.test",     "settings.example.test", "api.example.test",
        "events.example.test", "reports.example.test", "beta.example.test",    "docs.portal.example.test",
    };
    return hosts;
}

void installDefaultRoutes(Server& server) {
    installPortalRoutes(server);
    installPushRoutes(server);
    installMediaRoutes(server);
    installInstanceIdRoutes(server);
    installLogRoutes(server);
    installKitHostRoutes(server);
    installEventRoutes(server);
    installCrashReportRoutes(server);
    installMeasurementRoutes(server);
    installBetaRoutes(server);
}

} // namespace devserver
