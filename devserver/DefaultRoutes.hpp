#pragma once
// The answers the devserver program gives out of the box: one install function per
// back end, so each back end's routes live in one place and tests can reuse them.

#include <string>
#include <vector>

namespace devserver {

class Server;

// Every host the build's deployment settings point at; the demo sends each to the devserver.
const std::vector<std::string>& servedHosts();

// Installs all default routes. Routes a test adds afterwards take precedence.
void installDefaultRoutes(Server& server);

// The portal's web pages on portal.example.test.
void installPortalRoutes(Server& server);

} // namespace devserver
