#include "devserver/PortalRoutes.hpp"

#include "devserver/FormEncoding.hpp"
#include "devserver/Server.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace devserver {
namespace {

const std::string kLoginAddress = std::string(kLoginPath) + "?" + kLoginQuery;

// Who is logged in under which session id. Shared by the handlers of one install, which the server
// may run on several threads at once.
class Sessions {
public:
    std::string open(const std::string& user) {
        std::lock_guard lock(mutex_);
        // Predictable ids keep recorded runs comparable; the counter keeps them unique per server.
        char id[32];
        std::snprintf(id, sizeof id, "portalsession%013llu", static_cast<unsigned long long>(++issued_));
        users_[id] = user;
        return id;
    }
    std::optional<std::string> user(const std::string& id) const {
        std::lock_guard lock(mutex_);
        auto it = users_.find(id);
        return it == users_.end() ? std::nullopt : std::optional(it->second);
    }
    void close(const std::string& id) {
        std::lock_guard lock(mutex_);
        users_.erase(id);
    }

private:
    mutable std::mutex mutex_;
    uint64_t issued_ = 0;
    std::map<std::string, std::string> users_;
};

// The first value of each name in a form body.
std::map<std::string, std::string> parseForm(std::string_view body) {
    std::map<std::string, std::string> fields;
    while (!body.empty()) {
        const size_t amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
        if (pair.empty())
            continue;
        const size_t eq = pair.find('=');
        std::string name = percentDecode(pair.substr(0, eq), true);
        std::string value = eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1), true);
        fields.emplace(std::move(name), std::move(value));
    }
    return fields;
}

std::string trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

// The value of cookie `name` in a Cookie header, or empty.
std::string cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const size_t semi = header.find(';');
        const std::string pair = trim(header.substr(0, semi));
        header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
        const size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.compare(0, eq, name) == 0 && eq == name.size())
            return pair.substr(eq + 1);
    }
    return {};
}

std::string escapeHtml(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

Reply page(int status, const std::string& title, const std::string& body) {
    return Reply::text(status,
                       "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escapeHtml(title) +
                           "</title></head><body>\n" + body + "</body></html>\n",
                       "text/html; charset=utf-8");
}

// The links every portal page offers, one of each kind the app's navigation policy tells apart.
std::string linkList(const std::string& portalLink, const std::string& portalLabel) {
    return "<ul>\n"
           "<li><a id=\"portal\" href=\"https://" +
           std::string(kPortalHost) + portalLink + "\">" + portalLabel +
           "</a></li>\n"
           "<li><a id=\"subdomain\" href=\"https://" +
           std::string(kPortalSubdomainHost) +
           "/\">Documents</a></li>\n"
           "<li><a id=\"external\" href=\"https://" +
           std::string(kExternalSiteHost) +
           "/\">Our public web site</a></li>\n"
           "<li><a id=\"mailto\" href=\"mailto:helpdesk@example.test\">Write to the help desk</a></li>\n"
           "<li><a id=\"foreign\" href=\"https://www.example.org/\">A partner's site</a></li>\n"
           "</ul>\n";
}

Reply loginPage(const std::string& message) {
    std::string body = "<h1>Sign in</h1>\n";
    if (!message.empty())
        body += "<p id=\"message\">" + escapeHtml(message) + "</p>\n";
    body += "<form id=\"login\" method=\"post\" action=\"" + kLoginAddress +
            "\">\n"
            "<input name=\"user\" autocomplete=\"username\">\n"
            "<input name=\"password\" type=\"password\" autocomplete=\"current-password\">\n"
            "<button type=\"submit\">Sign in</button>\n"
            "</form>\n" +
            linkList("/help", "Help with signing in");
    return page(200, "Portal", body);
}

Reply toLogin() {
    return Reply::redirect(302, kLoginAddress);
}

// Most recently added routes win, so a test can still override any of these afterwards.
void add(Server& server, std::string method, std::string host, std::string path, Handler handler) {
    Route r;
    r.method = std::move(method);
    r.host = std::move(host);
    r.path = std::move(path);
    r.handler = std::move(handler);
    server.route(std::move(r));
}

void installPortal(Server& server, const std::shared_ptr<Sessions>& sessions) {
    auto loggedInUser = [sessions](const RecordedRequest& request) {
        const std::string id = cookieValue(request.header("cookie"), kSessionCookie);
        return id.empty() ? std::nullopt : sessions->user(id);
    };

    // The bare host shows the sign-in form itself, so a first visit needs no redirect.
    add(server, "GET", kPortalHost, "/", [loggedInUser](const RecordedRequest& request) {
        return loggedInUser(request) ? Reply::redirect(302, "/intranet/") : loginPage({});
    });

    add(server, "GET", kPortalHost, kLoginPath, [](const RecordedRequest&) { return loginPage({}); });

    add(server, "POST", kPortalHost, kLoginPath, [sessions](const RecordedRequest& request) {
        const auto form = parseForm(request.body);
        auto user = form.find("user");
        auto password = form.find("password");
        if (user == form.end() || trim(user->second).empty() || password == form.end() ||
            password->second.empty())
            return loginPage("Please enter your user name and password.");
        const std::string id = sessions->open(trim(user->second));
        return Reply::redirect(302, "/intranet/")
            .withHeader("Set-Cookie", std::string(kSessionCookie) + "=" + id + "; path=/; secure; HttpOnly");
    });

    add(server, "GET", kPortalHost, "/logout", [sessions](const RecordedRequest& request) {
        const std::string id = cookieValue(request.header("cookie"), kSessionCookie);
        if (!id.empty())
            sessions->close(id);
        return toLogin().withHeader("Set-Cookie", std::string(kSessionCookie) +
                                                      "=deleted; expires=Thu, 01 Jan 1970 00:00:00 GMT; "
                                                      "Max-Age=0; path=/; secure; HttpOnly");
    });

    add(server, "GET", kPortalHost, "/help", [](const RecordedRequest&) {
        return page(200, "Help",
                    "<h1>Help</h1>\n<p>Sign in with your organisation account.</p>\n"
                    "<p><a id=\"login\" href=\"https://" +
                        std::string(kPortalHost) + kLoginAddress + "\">Back to sign in</a></p>\n");
    });

    add(server, "GET", kPortalHost, "/intranet/", [loggedInUser](const RecordedRequest& request) {
        auto user = loggedInUser(request);
        if (!user)
            return toLogin();
        return page(200, "Intranet",
                    "<h1>Welcome, " + escapeHtml(*user) + "</h1>\n" + linkList("/intranet/news", "News") +
                        "<p><a id=\"logout\" href=\"/logout\">Sign out</a></p>\n");
    });

    add(server, "GET", kPortalHost, "/intranet/news", [loggedInUser](const RecordedRequest& request) {
        if (!loggedInUser(request))
            return toLogin();
        return page(200, "News",
                    "<h1>News</h1>\n<p>The canteen opens at eight.</p>\n"
                    "<p><a id=\"home\" href=\"https://" +
                        std::string(kPortalHost) + "/intranet/\">Home</a></p>\n");
    });

    // The app posts the push subscriber id here at every navigation while it holds the session cookie;
    // the portal ties the id to that session. The server's recordings keep body and cookies.
    add(server, "POST", kPortalHost, kRegisterPath, [](const RecordedRequest& request) {
        const auto body = nlohmann::json::parse(request.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("player-id") ||
            !body["player-id"].is_string() || body["player-id"].get<std::string>().empty())
            return Reply::json(400,
                               R"({"error":"expected a JSON object with a non-empty string \"player-id\""})");
        return Reply::json(200, "true");
    });

    // Device tokens arrive form-encoded, though the sender may label them JSON; either body is taken.
    add(server, "POST", kPortalHost, kDevicePath, [](const RecordedRequest& request) {
        std::string token;
        std::string type;
        const auto json = nlohmann::json::parse(request.body, nullptr, false);
        if (!json.is_discarded() && json.is_object()) {
            if (json.contains("device_token") && json["device_token"].is_string())
                token = json["device_token"].get<std::string>();
            if (json.contains("device_type") && json["device_type"].is_string())
                type = json["device_type"].get<std::string>();
        } else {
            const auto form = parseForm(request.body);
            if (auto it = form.find("device_token"); it != form.end())
                token = it->second;
            if (auto it = form.find("device_type"); it != form.end())
                type = it->second;
        }
        if (token.empty() || type.empty())
            return Reply::json(400, R"({"error":"expected \"device_token\" and \"device_type\""})");
        return Reply::json(200, "true");
    });
}

void installNeighbours(Server& server) {
    add(server, "GET", kPortalSubdomainHost, "/", [](const RecordedRequest&) {
        return page(200, "Documents",
                    "<h1>Documents</h1>\n<p><a id=\"portal\" href=\"https://" + std::string(kPortalHost) +
                        "/intranet/\">Back to the intranet</a></p>\n");
    });
    add(server, "GET", kExternalSiteHost, "/", [](const RecordedRequest&) {
        return page(200, "Example organisation", "<h1>Example organisation</h1>\n<p>Who we are.</p>\n");
    });
}

} // namespace

void installPortalRoutes(Server& server) {
    auto sessions = std::make_shared<Sessions>();
    installNeighbours(server);
    installPortal(server, sessions);
}

std::vector<PortalRegistration> portalRegistrations(const Server& server) {
    std::vector<PortalRegistration> found;
    for (const auto& request : server.requests()) {
        if (request.method != "POST" || request.host != kPortalHost || request.path != kRegisterPath)
            continue;
        PortalRegistration registration;
        registration.body = request.body;
        registration.cookieHeader = request.header("cookie");
        registration.sessionId = cookieValue(registration.cookieHeader, kSessionCookie);
        registration.contentType = request.header("content-type");
        const auto body = nlohmann::json::parse(request.body, nullptr, false);
        if (!body.is_discarded() && body.is_object() && body.contains("player-id") &&
            body["player-id"].is_string())
            registration.playerId = body["player-id"].get<std::string>();
        found.push_back(std::move(registration));
    }
    return found;
}

} // namespace devserver
