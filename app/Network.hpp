#pragma once
// Ties the push client's subscriber identifier to the user's portal session: the web view's cookies are read
// at every navigation decision, and while the portal's session cookie is among them the identifier is posted
// to the portal's registration address with those cookies attached.

#include "platform/net/HTTPCookie.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Reads the default web-site data store's cookies (OS 11 and later; below that `completion` never runs) and
// hands over those whose domain contains `domain` (all of them with no domain), in the store's order.
void fetchWebViewCookies(const std::optional<std::string>& domain,
                         std::function<void(const std::vector<plat::HTTPCookie>&)> completion);

// One registration for every cookie named "PHPSESSID" in the list, each with the whole list.
void handleWebViewCookies(const std::vector<plat::HTTPCookie>& cookies);

class Network {
public:
    Network() = delete;
    // Posts {"player-id": <subscriber identifier>} to the portal; sends nothing while the push client has no
    // identifier. Failures are printed, nothing is reported to the caller.
    static void registerPlayerId(const std::vector<plat::HTTPCookie>& cookies);
};
