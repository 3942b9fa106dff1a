#include "devserver/DefaultRoutes.hpp"

#include "devserver/Server.hpp"

namespace devserver {

const std::vector<std::string>& servedHosts() {
    static const std::vector<std::string> hosts{
        "portal.example.test", "www.example.test",     "push.example.test",     "measurement.example.test",
        "logs.example.test",   "iid.example.test",     "settings.example.test", "api.example.test",
        "events.example.test", "reports.example.test", "beta.example.test",
    };
    return hosts;
}

void installDefaultRoutes(Server& server) {
    installPortalRoutes(server);
}

void installPortalRoutes(Server& server) {
    Route login;
    login.method = "GET";
    login.path = "/";
    login.host = "portal.example.test";
    login.handler = [](const RecordedRequest&) {
        return Reply::text(200,
                           "<!DOCTYPE html>\n<html><head><title>Portal</title></head><body>\n"
                           "<h1>Sign in</h1>\n"
                           "<form method=\"post\" action=\"/login\">\n"
                           "<input name=\"user\"> <input name=\"password\" type=\"password\">\n"
                           "<button type=\"submit\">Sign in</button>\n"
                           "</form>\n</body></html>\n",
                           "text/html; charset=utf-8");
    };
    server.route(std::move(login));
}

} // namespace devserver
