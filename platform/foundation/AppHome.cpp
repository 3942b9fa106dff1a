#include "platform/foundation/AppHome.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <mutex>
#include <optional>

namespace plat {
namespace {

struct State {
    std::mutex mutex;
    std::optional<std::string> configured;
};

State& state() {
    static NeverDestroyed<State> s;
    return *s;
}

std::string withoutTrailingSlash(std::string p) {
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

} // namespace

void AppHome::configure(std::string path) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.configured = withoutTrailingSlash(std::move(path));
}

std::string AppHome::path() {
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        if (s.configured)
            return *s.configured;
    }
    auto& info = ProcessInfo::processInfo();
    if (auto home = info.environmentValue("PORTAL_APP_HOME"); home && !home->empty())
        return withoutTrailingSlash(*home);
    std::string data;
    if (auto xdg = info.environmentValue("XDG_DATA_HOME"); xdg && !xdg->empty() && xdg->front() == '/')
        data = withoutTrailingSlash(*xdg);
    else
        data = withoutTrailingSlash(info.environmentValue("HOME").value_or("/tmp")) + "/.local/share";
    return data + "/portal-app/home";
}

std::string AppHome::deviceFolder() {
    return path() + ".device";
}

std::string AppHome::appGroupContainer(std::string_view group) {
    return deviceFolder() + "/AppGroups/" + std::string(group);
}

std::string AppHome::documents() {
    return path() + "/Documents";
}
std::string AppHome::library() {
    return path() + "/Library";
}
std::string AppHome::applicationSupport() {
    return path() + "/Library/Application Support";
}
std::string AppHome::caches() {
    return path() + "/Library/Caches";
}
std::string AppHome::preferences() {
    return path() + "/Library/Preferences";
}
std::string AppHome::cookies() {
    return path() + "/Library/Cookies";
}
std::string AppHome::tmp() {
    return path() + "/tmp";
}

Result<void> AppHome::createFolders() {
    auto& fm = FileManager::defaultManager();
    Dictionary privateFolder{{"NSFilePosixPermissions", Value(0700)}};
    struct Folder {
        std::string path;
        bool isPrivate;
    };
    const Folder folders[] = {
        {path(), true},         {documents(), false},   {library(), false}, {applicationSupport(), false},
        {caches(), false},      {preferences(), false}, {cookies(), false}, {tmp(), true},
        {deviceFolder(), true},
    };
    for (const auto& f : folders) {
        auto r = fm.createDirectory(f.path, true, f.isPrivate ? privateFolder : Dictionary{});
        if (!r)
            return r;
    }
    return {};
}

} // namespace plat
