#pragma once
// The engine started on a launched application: controllers of the app's own classes shown in the key window,
// the lifecycle driven as the user would, and the internal events the reporters hand to the facade.

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSScreenViewReporter.hpp"
#include "measurement/engine/DMSSessionReporter.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIViewController.hpp"
#include "platform/uikit/UIWindow.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dms::test {

class ScreenFixture : public EngineFixture {
protected:
    // `record`: internal events stop at the recorder instead of reaching the pipeline.
    void launch(std::vector<DMSConfigSetting> settings = {}, bool record = true) {
        if (!settings.empty()) {
            useSettings(std::move(settings));
        }
        makeBundle();
        startEngine();
        if (record) {
            recorder.emplace();
        }
        if (!plat::rt::getClass("ScreenTestAppDelegate")) {
            plat::rt::registerClass("ScreenTestAppDelegate", plat::rt::rootClass(), {"UIApplicationDelegate"});
        }
        app = plat::sim::App::launch("ScreenTestAppDelegate");
        settle();
    }

    // An instance of an app class (main bundle) of that name, registered on first use.
    static std::shared_ptr<plat::UIViewController> controller(const std::string& className) {
        plat::rt::Class* cls = plat::rt::getClass(className);
        if (!cls) {
            cls = plat::rt::registerClass<plat::UIViewController>(className, plat::UIViewController::runtimeClass());
        }
        return std::dynamic_pointer_cast<plat::UIViewController>(plat::rt::createInstance(cls));
    }
    void show(const std::shared_ptr<plat::UIViewController>& root) {
        window = plat::UIWindow::make();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        settle();
    }

    std::vector<InternalEvent> eventsNamed(const std::string& name) const {
        std::vector<InternalEvent> found;
        for (const auto& event : recorder->events) {
            if (event.name == name) {
                found.push_back(event);
            }
        }
        return found;
    }
    static std::optional<plat::Value> parameter(const InternalEvent& event, const std::string& key) {
        const plat::Value* value = event.parameters.find(key);
        return value ? std::optional<plat::Value>(*value) : std::nullopt;
    }
    static std::shared_ptr<DMSSessionReporter> sessions() { return DMSMeasurement::sharedInstance()->sessionReporter(); }

    std::optional<InternalEventRecorder> recorder;
    std::shared_ptr<plat::UIApplication> app;
    std::shared_ptr<plat::UIWindow> window;
};

} // namespace dms::test
