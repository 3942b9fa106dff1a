#include "devserver/MediaRoutes.hpp"

#include "devserver/FormEncoding.hpp"
#include "devserver/Server.hpp"

#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <utility>

namespace devserver {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 13> kMediaTypesByExtension = {{
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"mp3", "audio/mpeg"},
    {"m4a", "audio/mp4"},
    {"wav", "audio/wav"},
    {"aif", "audio/aiff"},
    {"aiff", "audio/aiff"},
    {"mp4", "video/mp4"},
    {"m4v", "video/x-m4v"},
    {"avi", "video/avi"},
}};

constexpr auto kSlowDefault = std::chrono::seconds(30);

uint64_t mediaNumber(const std::optional<std::string>& text, uint64_t fallback) {
    uint64_t value = 0;
    if (!text || text->empty() ||
        std::from_chars(text->data(), text->data() + text->size(), value).ec != std::errc()) {
        return fallback;
    }
    return value;
}

std::string mediaTypeOf(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) {
        const std::string_view extension = name.substr(dot + 1);
        for (const auto& [known, type] : kMediaTypesByExtension) {
            if (known == extension) {
                return std::string(type);
            }
        }
    }
    return "application/octet-stream";
}

std::optional<std::string> mediaQueryValue(const std::map<std::string, std::string>& query, const char* name) {
    auto it = query.find(name);
    return it == query.end() ? std::nullopt : std::optional<std::string>(it->second);
}

Reply mediaReply(const RecordedRequest& request) {
    const auto query = formItems(request.query);
    std::string_view path(request.path);
    path.remove_prefix(std::string_view(kMediaPrefix).size());
    const size_t slash = path.find('/');
    const std::string_view mode = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
    const std::string name = percentDecode(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (mode == "missing") {
        return Reply::text(404, "no such media\n");
    }
    if (mode == "drop") {
        return Reply::dropped();
    }

    const auto size = mediaQueryValue(query, "size");
    Reply reply = size ? Reply::generated(mediaNumber(size, 0)) : Reply::text(200, "media:" + name);
    reply.headers.clear();
    const std::string type = mediaQueryValue(query, "type").value_or(mediaTypeOf(name));
    // An empty value stands for none: the HTTP library would otherwise name the body text/plain.
    reply.withHeader("Content-Type", type);
    if (mode == "cut") {
        // Half the body, then the connection closes.
        Reply cut = Reply::stalled(reply.body.size() * 2 + 16, reply.body.substr(0, reply.body.size() / 2));
        cut.headers = reply.headers;
        cut.stallFor = std::chrono::milliseconds(0);
        return cut;
    }
    if (mode == "slow") {
        reply.after(std::chrono::milliseconds(
            mediaNumber(mediaQueryValue(query, "delay"),
                        std::chrono::duration_cast<std::chrono::milliseconds>(kSlowDefault).count())));
    }
    return reply;
}

} // namespace

void installMediaRoutes(Server& server) {
    Route route;
    route.method = "GET";
    route.host = kMediaHost;
    route.path = kMediaPrefix;
    route.match = PathMatch::Prefix;
    route.handler = mediaReply;
    server.route(std::move(route));
}

} // namespace devserver
