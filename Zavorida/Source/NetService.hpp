#pragma once
// A network service as service discovery names it (domain, type, name), with the host and port it resolved
// to. The platform layer has no service discovery of its own, so a service reaches the library resolved by
// whoever found it, or unresolved, in which case no stream can be opened to it.

#include <optional>
#include <string>

namespace Zavorida {

struct NetService {
    std::string domain;
    std::string type;
    std::string name;
    // Set once the service has been resolved.
    std::optional<std::string> hostName;
    int port = -1;

    bool isResolved() const { return hostName && !hostName->empty() && port > 0 && port <= 65535; }
};

} // namespace Zavorida
