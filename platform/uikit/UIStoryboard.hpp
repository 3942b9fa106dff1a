#pragma once
// Storyboards as a registry of named screen factories: the app (and tests) register screens by storyboard
// and identifier, and which screen a storyboard starts with.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/uikit/UIViewController.hpp"

namespace plat {

class UIStoryboard : public std::enable_shared_from_this<UIStoryboard> {
public:
    using Factory = std::function<std::shared_ptr<UIViewController>()>;

    static void registerScreen(const std::string& storyboard, const std::string& identifier, Factory factory);
    static void setInitialScreen(const std::string& storyboard, const std::string& identifier);
    // The storyboard UIApplicationMain starts with: the one set here, else the Info.plist's
    // UIMainStoryboardFile.
    static void setMainStoryboardName(std::string name);
    static std::optional<std::string> mainStoryboardName();

    // Raises NSInvalidArgumentException for a storyboard nobody registered, as the device does for a
    // missing file.
    static std::shared_ptr<UIStoryboard> storyboardWithName(const std::string& name);

    const std::string& name() const { return name_; }
    // Raises NSInvalidArgumentException for an unknown identifier.
    std::shared_ptr<UIViewController> instantiateViewControllerWithIdentifier(const std::string& identifier);
    // Null when the storyboard has no initial screen.
    std::shared_ptr<UIViewController> instantiateInitialViewController();

    explicit UIStoryboard(std::string name) : name_(std::move(name)) {}

private:
    std::string name_;
};

} // namespace plat
