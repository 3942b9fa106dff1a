#include "platform/net/SimNetwork.hpp"

#include "platform/foundation/ProcessInfo.hpp"

namespace plat::sim {

void Network::setResolve(std::optional<std::string> value) {
    Process::setEnvironment("PORTAL_APP_RESOLVE", std::move(value));
}

void Network::setCAFile(std::optional<std::string> path) {
    Process::setEnvironment("PORTAL_APP_CA_FILE", std::move(path));
}

} // namespace plat::sim
