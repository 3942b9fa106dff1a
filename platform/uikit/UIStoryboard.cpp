#include "platform/uikit/UIStoryboard.hpp"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

namespace plat {
namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::map<std::string, UIStoryboard::Factory, std::less<>>, std::less<>> screens;
    std::map<std::string, std::string, std::less<>> initial;
    std::optional<std::string> mainName;
};

Registry& registry() {
    static NeverDestroyed<Registry> instance;
    return *instance;
}

} // namespace

void UIStoryboard::registerScreen(const std::string& storyboard, const std::string& identifier,
                                  Factory factory) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.screens[storyboard][identifier] = std::move(factory);
}

void UIStoryboard::setInitialScreen(const std::string& storyboard, const std::string& identifier) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.screens[storyboard];
    r.initial[storyboard] = identifier;
}

void UIStoryboard::setMainStoryboardName(std::string name) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.mainName = std::move(name);
}

std::optional<std::string> UIStoryboard::mainStoryboardName() {
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.mainName) {
            return r.mainName;
        }
    }
    auto value = Bundle::main()->objectForInfoDictionaryKey("UIMainStoryboardFile");
    if (value && value->isString() && !value->asString().empty()) {
        return value->asString();
    }
    return std::nullopt;
}

std::shared_ptr<UIStoryboard> UIStoryboard::storyboardWithName(const std::string& name) {
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.screens.count(name)) {
            return std::make_shared<UIStoryboard>(name);
        }
    }
    throw Exception(NSInvalidArgumentException, "Could not find a storyboard named '" + name + "' in bundle");
}

std::shared_ptr<UIViewController>
UIStoryboard::instantiateViewControllerWithIdentifier(const std::string& identifier) {
    Factory factory;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto board = r.screens.find(name_);
        if (board != r.screens.end()) {
            if (auto it = board->second.find(identifier); it != board->second.end()) {
                factory = it->second;
            }
        }
    }
    std::shared_ptr<UIViewController> vc = factory ? factory() : nullptr;
    if (!vc) {
        char address[32];
        std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
        throw Exception(NSInvalidArgumentException,
                        "Storyboard (<UIStoryboard: " + std::string(address) +
                            ">) doesn't contain a view controller with identifier '" + identifier + "'");
    }
    vc->setStoryboard(shared_from_this());
    return vc;
}

std::shared_ptr<UIViewController> UIStoryboard::instantiateInitialViewController() {
    std::string identifier;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.initial.find(name_);
        if (it == r.initial.end()) {
            return nullptr;
        }
        identifier = it->second;
    }
    return instantiateViewControllerWithIdentifier(identifier);
}

} // namespace plat
