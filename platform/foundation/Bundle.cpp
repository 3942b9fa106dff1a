#include "platform/foundation/Bundle.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/PropertyList.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>

namespace plat {
namespace {

struct MainState {
    std::mutex mutex;
    std::shared_ptr<const Bundle> main;
    std::string receiptName = "receipt";
};

MainState& mainState() {
    static NeverDestroyed<MainState> s;
    return *s;
}

std::optional<std::string> realPathOf(const std::string& p) {
    char buffer[PATH_MAX];
    if (!::realpath(p.c_str(), buffer))
        return std::nullopt;
    return std::string(buffer);
}

// A name or folder given by the caller may not climb out or start over at the root.
bool safeComponent(std::string_view s) {
    if (!s.empty() && s.front() == '/')
        return false;
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find('/', start);
        if (end == std::string_view::npos)
            end = s.size();
        if (s.substr(start, end - start) == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::string joined(std::string a, std::string_view b) {
    if (b.empty())
        return a;
    if (!a.empty() && a.back() != '/')
        a += '/';
    a += b;
    return a;
}

std::optional<Dictionary> readDictionary(const std::string& path) {
    auto bytes = readData(path);
    if (!bytes)
        return std::nullopt;
    if (auto plist = PropertyListSerialization::propertyList(*bytes); plist && plist->value.isDictionary())
        return plist->value.asDictionary();
    if (auto json = JSONSerialization::jsonObject(*bytes); json && json->isDictionary())
        return json->asDictionary();
    return std::nullopt;
}

} // namespace

Bundle::Bundle(std::string path) : path_(std::move(path)) {
    while (path_.size() > 1 && path_.back() == '/')
        path_.pop_back();
    realPath_ = realPathOf(path_).value_or("");
    if (realPath_.empty())
        return;
    if (auto bytes = readData(joined(path_, "Info.plist")))
        if (auto plist = PropertyListSerialization::propertyList(*bytes);
            plist && plist->value.isDictionary())
            info_ = plist->value.asDictionary();
}

std::shared_ptr<const Bundle> Bundle::main() {
    auto& s = mainState();
    std::lock_guard lock(s.mutex);
    if (!s.main)
        s.main = std::make_shared<const Bundle>(std::string());
    return s.main;
}

void Bundle::setMain(std::string path) {
    auto bundle = std::make_shared<const Bundle>(std::move(path));
    auto& s = mainState();
    std::lock_guard lock(s.mutex);
    s.main = std::move(bundle);
}

namespace {

struct BundleSystemClasses {
    std::mutex mutex;
    std::set<std::string, std::less<>> names;
};

BundleSystemClasses& bundleSystemClasses() {
    static NeverDestroyed<BundleSystemClasses> classes;
    return *classes;
}

} // namespace

void Bundle::registerSystemClass(std::string_view className) {
    auto& classes = bundleSystemClasses();
    std::lock_guard lock(classes.mutex);
    classes.names.emplace(className);
}

std::shared_ptr<const Bundle> Bundle::system() {
    static const std::shared_ptr<const Bundle> bundle = std::make_shared<const Bundle>("/System/Library/Frameworks");
    return bundle;
}

std::shared_ptr<const Bundle> Bundle::forClass(std::string_view className) {
    {
        auto& classes = bundleSystemClasses();
        std::lock_guard lock(classes.mutex);
        if (classes.names.find(className) != classes.names.end()) {
            return system();
        }
    }
    return main();
}

std::optional<std::string> Bundle::stringInfo(std::string_view key) const {
    if (!info_)
        return std::nullopt;
    const Value* v = info_->find(key);
    if (!v || !v->isString())
        return std::nullopt;
    return v->asString();
}

std::optional<std::string> Bundle::bundleIdentifier() const {
    return stringInfo("CFBundleIdentifier");
}
std::optional<std::string> Bundle::name() const {
    return stringInfo("CFBundleName");
}
std::optional<std::string> Bundle::version() const {
    return stringInfo("CFBundleVersion");
}
std::optional<std::string> Bundle::shortVersionString() const {
    return stringInfo("CFBundleShortVersionString");
}
std::optional<std::string> Bundle::executableName() const {
    return stringInfo("CFBundleExecutable");
}

bool Bundle::isAppExtension() const {
    return info_ && info_->contains("NSExtension");
}

std::optional<Value> Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    if (!info_)
        return std::nullopt;
    if (const Value* v = info_->find(key))
        return *v;
    return std::nullopt;
}

// The candidate when it exists and, with every symlink resolved, still lies inside the bundle.
std::optional<std::string> Bundle::contained(const std::string& candidate) const {
    if (realPath_.empty())
        return std::nullopt;
    auto real = realPathOf(candidate);
    if (!real)
        return std::nullopt;
    if (*real != realPath_ && real->rfind(realPath_ + "/", 0) != 0)
        return std::nullopt;
    return candidate;
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type,
                                                   std::string_view subdirectory) const {
    if (name.empty() || !safeComponent(name) || !safeComponent(subdirectory) || type.find('/') != type.npos ||
        type == "..")
        return std::nullopt;
    std::string file(name);
    if (!type.empty()) {
        file += '.';
        file += type;
    }
    for (std::string_view folder :
         {std::string_view(), std::string_view("Base.lproj"), std::string_view("en.lproj")}) {
        std::string candidate = joined(joined(joined(path_, folder), subdirectory), file);
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) != 0)
            continue;
        if (auto ok = contained(candidate))
            return ok;
        return std::nullopt; // found, but it leads out of the bundle
    }
    return std::nullopt;
}

std::vector<std::string> Bundle::pathsForResourcesOfType(std::string_view type,
                                                         std::string_view subdirectory) const {
    std::vector<std::string> out;
    if (realPath_.empty() || !safeComponent(subdirectory))
        return out;
    std::string folder = joined(path_, subdirectory);
    if (!contained(folder))
        return out;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string fileName = it->path().filename().string();
        auto dot = fileName.rfind('.');
        std::string_view ext =
            dot == std::string::npos ? std::string_view() : std::string_view(fileName).substr(dot + 1);
        if (!type.empty() && ext != type)
            continue;
        std::string candidate = joined(folder, fileName);
        if (contained(candidate))
            out.push_back(candidate);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string Bundle::localizedString(std::string_view key, std::string_view value,
                                    std::string_view table) const {
    std::string tableName = table.empty() ? std::string("Localizable") : std::string(table);
    const Value* found = nullptr;
    {
        std::lock_guard lock(tablesMutex_);
        auto it = tables_.find(tableName);
        if (it == tables_.end()) {
            Dictionary strings;
            if (auto path = pathForResource(tableName, "strings"))
                strings = readDictionary(*path).value_or(Dictionary{});
            it = tables_.emplace(tableName, std::move(strings)).first;
        }
        found = it->second.find(key);
        if (found && found->isString())
            return found->asString();
    }
    return value.empty() ? std::string(key) : std::string(value);
}

std::string Bundle::storeReceiptURL() const {
    auto& s = mainState();
    std::lock_guard lock(s.mutex);
    return joined(joined(path_, "StoreKit"), s.receiptName);
}

namespace sim {
void BundleSettings::setReceiptName(std::string name) {
    auto& s = mainState();
    std::lock_guard lock(s.mutex);
    s.receiptName = std::move(name);
}
} // namespace sim

} // namespace plat
