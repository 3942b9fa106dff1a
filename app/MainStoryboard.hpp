#pragma once
// The storyboard "Main": the web-view screen's scene under "ViewController" (placeholder UIWebView,
// spinner, connection-lost view with its reload button, outlets and actions connected) and the initial
// screen, a navigation controller holding one such screen.

#include "platform/uikit/UIControls.hpp"

#include <memory>

class ViewController;

// The storyboard identifier of the initial navigation controller.
inline constexpr const char* kMainNavigationControllerIdentifier = "NavigationController";

// Registers the scenes with the platform's storyboard registry; calling it again changes nothing.
void registerMainStoryboard();

// The reload button inside the screen's connection-lost view, when the scene made one.
std::shared_ptr<plat::UIButton> reloadButton(const ViewController& screen);
