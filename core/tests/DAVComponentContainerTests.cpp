// The component registry: who may register, which registration wins, when instances are made and kept,
// and what deleting the app tells kept instances.

#include "core/DAVApp.hpp"
#include "core/DAVComponentContainer.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/runtime/Runtime.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace rt = plat::rt;

namespace {

constexpr const char* kContainerAppID = "1:123:ios:abc";

class ComponentTest : public ::testing::Test {
protected:
    // A registrant class offering the given components.
    rt::Class* registrant(const std::string& name, DAVComponentList components) {
        rt::Class* cls = rt::registerClass(name, rt::rootClass(), {"DAVComponentRegistrant"});
        rt::replaceMethod(rt::metaclass(cls), "componentsToRegister",
                          [components](rt::Object&) -> DAVComponentList { return components; });
        return cls;
    }
    // A component whose instances are objects of `cls`, counted in made[protocol].
    std::shared_ptr<DAVComponent> component(const std::string& protocol, long timing, rt::Class* cls,
                                            bool cacheable) {
        return DAVComponent::componentWithProtocol(
            protocol, timing, {DAVDependency::dependencyWithProtocol("Other")},
            [this, protocol, cls, cacheable](DAVComponentContainer&, bool* isCacheable) -> rt::ObjectPtr {
                ++made[protocol];
                *isCacheable = cacheable;
                return rt::createInstance(cls);
            });
    }
    std::vector<std::string> logLines() {
        plat::Virtual::runUntilIdle();
        return log.texts();
    }

    plat::test::TempAppHome home;
    plat::sim::SystemLogCapture log;
    std::map<std::string, int> made;
    rt::Class* service = rt::registerClass("ServiceImpl", rt::rootClass(), {"Service", "Eager", "Named"});
};

TEST_F(ComponentTest, OnlyRegistrantsMayRegisterAndTwiceCountsOnce) {
    rt::Class* plain = rt::registerClass("NotARegistrant");
    try {
        DAVComponentContainer::registerAsComponentRegistrant(plain);
        FAIL() << "no exception";
    } catch (const plat::Exception& e) {
        EXPECT_EQ(e.name(), "NSInvalidArgumentException");
        EXPECT_EQ(e.reason(), "Class NotARegistrant attempted to register components, but it does not conform to "
                              "`DAVComponentRegistrant` or provide a `componentsToRegister:` method.");
    }
    // Declaring the protocol without the method is not enough either.
    EXPECT_THROW(DAVComponentContainer::registerAsComponentRegistrant(
                     rt::registerClass("HalfRegistrant", rt::rootClass(), {"DAVComponentRegistrant"})),
                 plat::Exception);

    DAVComponentContainer::RegistrantSet set;
    rt::Class* good = registrant("Good", {});
    DAVComponentContainer::registerAsComponentRegistrant(good, &set);
    DAVComponentContainer::registerAsComponentRegistrant(good, &set);
    EXPECT_EQ(set, DAVComponentContainer::RegistrantSet{good});
    DAVComponentContainer::registerAsComponentRegistrant(good, nullptr);
    EXPECT_EQ(logLines(), std::vector<std::string>{"5.12.0 - [Vedudodu/Core][I-COR000025] Attempted to store "
                                                   "registered components in an empty set."});
}

TEST_F(ComponentTest, TheFirstRegistrantOfAProtocolWins) {
    rt::Class* first = registrant("First", {component("Service", 0, service, false)});
    rt::Class* other = rt::registerClass("OtherImpl", rt::rootClass(), {"Service"});
    rt::Class* second = registrant("Second", {component("Service", 0, other, false)});
    DAVComponentContainer container(nullptr, DAVComponentContainer::RegistrantSet{first, second});
    auto instance = container.instanceForProtocol("Service");
    ASSERT_TRUE(instance);
    EXPECT_EQ(rt::className(*instance), "ServiceImpl");
    EXPECT_EQ(logLines(), std::vector<std::string>{"5.12.0 - [Vedudodu/Core][I-COR000029] Attempted to register "
                                                   "protocol Service, but it already has an implementation."});
    EXPECT_FALSE(container.instanceForProtocol("Nobody"));
}

TEST_F(ComponentTest, CacheableInstancesAreKeptOthersMadeAnew) {
    rt::Class* r = registrant("R", {component("Service", 0, service, false), component("Eager", 0, service, true)});
    DAVComponentContainer container(nullptr, DAVComponentContainer::RegistrantSet{r});
    EXPECT_NE(container.instanceForProtocol("Service"), container.instanceForProtocol("Service"));
    EXPECT_EQ(made["Service"], 2);
    EXPECT_EQ(container.instanceForProtocol("Eager"), container.instanceForProtocol("Eager"));
    EXPECT_EQ(made["Eager"], 1);
}

TEST_F(ComponentTest, TimingTwoIsEagerOnlyInTheDefaultApp) {
    DAVComponentContainer::registerAsComponentRegistrant(
        registrant("Timed", {component("Eager", 1, service, false), component("Named", 2, service, true)}));
    DAVApp::configureWithName("named", DAVOptions::initWithRazozaAppID(kContainerAppID, "s"));
    EXPECT_EQ(made["Eager"], 1);
    EXPECT_EQ(made["Named"], 0);
    DAVApp::configureWithOptions(DAVOptions::initWithRazozaAppID(kContainerAppID, "s"));
    EXPECT_EQ(made["Eager"], 2);
    EXPECT_EQ(made["Named"], 1);
    // The default app's eager instance was kept, the named app makes its own on request.
    DAVApp::defaultApp()->container().instanceForProtocol("Named");
    EXPECT_EQ(made["Named"], 1);
    DAVApp::appNamed("named")->container().instanceForProtocol("Named");
    EXPECT_EQ(made["Named"], 2);
}

TEST_F(ComponentTest, ANonConformingInstanceIsLoggedAndStillUsed) {
    rt::Class* stranger = rt::registerClass("Stranger");
    rt::Class* r = registrant("R", {component("Service", 0, stranger, true)});
    DAVComponentContainer container(nullptr, DAVComponentContainer::RegistrantSet{r});
    auto instance = container.instanceForProtocol("Service");
    ASSERT_TRUE(instance);
    EXPECT_EQ(instance, container.instanceForProtocol("Service"));
    EXPECT_EQ(logLines(), std::vector<std::string>{"5.12.0 - [Vedudodu/Core][I-COR000030] An instance conforming to "
                                                   "Service was requested, but the instance provided does not conform "
                                                   "to the protocol"});
}

TEST_F(ComponentTest, DeletingTheAppTellsKeptMaintainersAndForgetsThem) {
    std::vector<std::string> told;
    rt::Class* maintainer = rt::registerClass("Maintainer", rt::rootClass(), {"Service", "DAVComponentLifecycleMaintainer"});
    rt::replaceMethod(maintainer, "appWillBeDeleted:", [&](rt::Object&, rt::ObjectPtr app) {
        told.push_back(std::dynamic_pointer_cast<DAVApp>(app)->name());
    });
    // Answers the method without declaring the protocol: not told.
    rt::Class* pretender = rt::registerClass("Pretender", rt::rootClass(), {"Eager"});
    rt::replaceMethod(pretender, "appWillBeDeleted:", [&](rt::Object&, rt::ObjectPtr) { told.push_back("pretender"); });
    DAVComponentContainer::registerAsComponentRegistrant(
        registrant("R", {component("Service", 0, maintainer, true), component("Eager", 0, pretender, true)}));

    DAVApp::configureWithName("gone", DAVOptions::initWithRazozaAppID(kContainerAppID, "s"));
    auto app = DAVApp::appNamed("gone");
    auto kept = app->container().instanceForProtocol("Service");
    app->container().instanceForProtocol("Eager");
    app->deleteApp(nullptr);
    EXPECT_EQ(told, std::vector<std::string>{"gone"});
    // The blocks stay: a later request makes a new instance.
    EXPECT_NE(app->container().instanceForProtocol("Service"), kept);
    EXPECT_EQ(made["Service"], 2);
}

} // namespace
