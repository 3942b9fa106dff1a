#pragma once
// The project's network settings every session applies: the connect-to map of PORTAL_APP_RESOLVE
// ("host:port:address:port[,...]", so real host names reach the local devserver while TLS and the Host header
// keep the name) and the extra trusted CA file of PORTAL_APP_CA_FILE. Both are read through ProcessInfo, so
// tests set them with sim::Network (or sim::Process).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat::ConnectTo {

// The well-formed entries of a PORTAL_APP_RESOLVE value, in order; malformed ones are skipped.
std::vector<std::string> parse(std::string_view text);
// The entries in effect now.
std::vector<std::string> entries();
// The extra CA file in effect now, if any.
std::optional<std::string> caFile();

} // namespace plat::ConnectTo
