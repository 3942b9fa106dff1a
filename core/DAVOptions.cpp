#include "core/DAVOptions.hpp"

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/PropertyList.hpp"

namespace {

constexpr std::string_view kOptionsFileName = "RazozaService-Info";

struct DefaultOptionsCache {
    std::mutex mutex;
    std::shared_ptr<const DAVOptions> options;
};

DefaultOptionsCache& cache() {
    static plat::NeverDestroyed<DefaultOptionsCache> c;
    return *c;
}

std::optional<plat::Dictionary> readDictionary(const std::string& path) {
    auto bytes = plat::readData(path);
    if (!bytes) {
        return std::nullopt;
    }
    auto dictionary = plat::PropertyListSerialization::dictionary(bytes.value());
    if (!dictionary) {
        return std::nullopt;
    }
    return std::move(dictionary.value());
}

} // namespace

std::optional<std::string> DAVOptions::plistFilePathWithName(std::string_view name) {
    return plat::Bundle::main()->pathForResource(name, "plist");
}

std::optional<plat::Dictionary> DAVOptions::defaultOptionsDictionary() {
    auto options = defaultOptions();
    if (!options) {
        return std::nullopt;
    }
    return options->optionsDictionary();
}

std::shared_ptr<const DAVOptions> DAVOptions::defaultOptions() {
    std::lock_guard lock(cache().mutex);
    // Only a successful read is kept, so a file that appears later is still found.
    if (!cache().options) {
        if (auto path = plistFilePathWithName(kOptionsFileName)) {
            if (auto dictionary = readDictionary(*path)) {
                cache().options = std::make_shared<const DAVOptions>(std::move(*dictionary), true);
            }
        }
    }
    return cache().options;
}

std::shared_ptr<DAVOptions> DAVOptions::initWithContentsOfFile(const std::string& path) {
    auto dictionary = readDictionary(path);
    if (!dictionary) {
        return nullptr;
    }
    return std::make_shared<DAVOptions>(std::move(*dictionary));
}

DAVOptions::DAVOptions(plat::Dictionary options, bool usingOptionsFromDefaultPlist)
    : options_(std::move(options)), usingOptionsFromDefaultPlist_(usingOptionsFromDefaultPlist) {}

bool DAVOptions::isAnalyticsEnabled() const {
    const plat::Value* value = options_.find("IS_ANALYTICS_ENABLED");
    return value && value->boolValue();
}

std::optional<std::string> DAVOptions::string(std::string_view key) const {
    const plat::Value* value = options_.find(key);
    if (value && value->isString()) {
        return value->asString();
    }
    return std::nullopt;
}
