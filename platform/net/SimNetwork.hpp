#pragma once
// Test and boot controls of the simulated network (plat::sim::Network): the connect-to map and extra CA
// every session applies, the scripted transport, and the reachability the device reports.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace plat {
class WireTransport;
class ScriptedTransport;
} // namespace plat

namespace plat::sim {

class Network {
public:
    // Sets PORTAL_APP_RESOLVE ("host:port:address:port[,...]") for this process; none removes it.
    static void setResolve(std::optional<std::string> value);
    // Sets PORTAL_APP_CA_FILE, the extra CA trusted by default server-trust evaluation; none removes it.
    static void setCAFile(std::optional<std::string> path);

    // Sessions made from now on run on the scripted transport (no sockets, no threads); returns its script.
    static ScriptedTransport& useScripted();
    // Sessions made from now on use libcurl again.
    static void useCurl();

    // The flags every reachability object reports from now on (none: unreadable), firing their callbacks.
    // Until the first call the Linux source is used.
    static void setReachability(std::optional<uint32_t> flags);

    // Internal: the transport a new session runs on.
    static std::unique_ptr<WireTransport> makeTransport(const std::string& label, long maxConnectionsPerHost);
};

} // namespace plat::sim
