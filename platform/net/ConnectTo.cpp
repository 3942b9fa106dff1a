#include "platform/net/ConnectTo.hpp"

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/String.hpp"

#include <cctype>
#include <cstdint>
#include <mutex>

namespace plat::ConnectTo {

namespace {

bool isPort(std::string_view s) {
    if (s.empty() || s.size() > 5)
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return std::stoi(std::string(s)) <= 65535;
}

// host:port:address:port, where host and address may be bracketed IPv6 literals.
bool wellFormed(std::string_view entry) {
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    while (i <= entry.size() && parts.size() < 4) {
        std::size_t end;
        if (i < entry.size() && entry[i] == '[') {
            const std::size_t close = entry.find(']', i);
            if (close == std::string_view::npos)
                return false;
            end = close + 1;
            if (end < entry.size() && entry[end] != ':')
                return false;
        } else {
            end = entry.find(':', i);
            if (end == std::string_view::npos)
                end = entry.size();
        }
        parts.push_back(entry.substr(i, end - i));
        i = end + 1;
    }
    if (parts.size() != 4 || i <= entry.size())
        return false;
    return !parts[0].empty() && isPort(parts[1]) && !parts[2].empty() && isPort(parts[3]);
}

} // namespace

std::vector<std::string> parse(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos)
            comma = text.size();
        const std::string entry =
            std::string(String::trimmingASCIIWhitespace(text.substr(start, comma - start)));
        if (wellFormed(entry))
            out.push_back(entry);
        start = comma + 1;
    }
    return out;
}

std::vector<std::string> entries() {
    // Every request of every session asks: the variable is read and parsed again only after the
    // environment's overlay changed.
    struct Parsed {
        std::mutex mutex;
        std::optional<std::uint64_t> generation;
        std::vector<std::string> entries;
    };
    static NeverDestroyed<Parsed> parsed;
    const std::uint64_t generation = ProcessInfo::processInfo().environmentOverlayGeneration();
    std::lock_guard lock(parsed->mutex);
    if (parsed->generation != generation) {
        const auto value = ProcessInfo::processInfo().environmentValue("PORTAL_APP_RESOLVE");
        parsed->entries = value ? parse(*value) : std::vector<std::string>{};
        parsed->generation = generation;
    }
    return parsed->entries;
}

std::optional<std::string> caFile() {
    auto value = ProcessInfo::processInfo().environmentValue("PORTAL_APP_CA_FILE");
    if (value && value->empty())
        return std::nullopt;
    return value;
}

} // namespace plat::ConnectTo
