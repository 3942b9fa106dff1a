#pragma once
// The organisation's portal as the app meets it: the login page and its form, the session cookie
// "PHPSESSID", pages behind the login, the push-subscriber registration and the device-token endpoint,
// plus the neighbouring sites its pages link to (a portal sub-domain and the public web site).

#include <string>
#include <vector>

namespace devserver {

class Server;

// Hosts and addresses the portal's pages use.
inline constexpr const char* kPortalHost = "portal.example.test";
inline constexpr const char* kPortalSubdomainHost = "docs.portal.example.test";
inline constexpr const char* kExternalSiteHost = "www.example.test";
inline constexpr const char* kLoginPath = "/login";
inline constexpr const char* kLoginQuery = "ignore_ntlm=1/";
inline constexpr const char* kRegisterPath = "/api/radirivoz/register";
inline constexpr const char* kDevicePath = "/intranet/rest/device/";
inline constexpr const char* kSessionCookie = "PHPSESSID";

// Installs the portal's routes. Each call keeps its own sessions, so two servers never share a login.
void installPortalRoutes(Server& server);

// One push-subscriber registration the portal received, read back from the server's recordings.
struct PortalRegistration {
    std::string playerId;     // "player-id" of the body; empty when the body had none
    std::string sessionId;    // the PHPSESSID cookie sent with it; empty without one
    std::string cookieHeader; // the whole Cookie header
    std::string contentType;
    std::string body;
};

// Every registration POST recorded so far, oldest first.
std::vector<PortalRegistration> portalRegistrations(const Server& server);

} // namespace devserver
