#pragma once
// What portal-app checks before the device boots, so that a wrong path or setting gets a message naming it
// instead of a crash or silence later: the bundle and home folders, and the network settings of the
// environment (PORTAL_APP_RESOLVE, PORTAL_APP_CA_FILE). Each returns what is wrong, or none.

#include <optional>
#include <string>

namespace console {

// A bundle is a folder with an Info.plist.
std::optional<std::string> checkBundle(const std::string& path);
// An app home is a folder, or a path where one can be made.
std::optional<std::string> checkHome(const std::string& path);
// Every entry of the connect-to map is host:port:address:port.
std::optional<std::string> checkResolveMap(const std::string& value);
// The extra CA file can be read and holds at least one PEM certificate, and nothing unreadable.
std::optional<std::string> checkCaFile(const std::string& path);

} // namespace console
