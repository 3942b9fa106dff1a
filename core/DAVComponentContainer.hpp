#pragma once
// The component registry: client classes register, before any app exists, as component registrants; each
// app's container asks them for components, each promising an instance of one protocol and knowing how to
// make it. Code that needs a service asks the app's container for the protocol, never for a class.
// Protocols are named by their protocol names; instances are runtime objects.

#include "platform/runtime/Class.hpp"
#include "platform/runtime/Object.hpp"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class DAVApp;
class DAVComponentContainer;

inline constexpr std::string_view kDAVComponentRegistrantProtocol = "DAVComponentRegistrant";
inline constexpr std::string_view kDAVComponentLifecycleMaintainerProtocol = "DAVComponentLifecycleMaintainer";

// When the container makes an instance.
enum DAVComponentInstantiationTiming : long {
    DAVComponentInstantiationTimingLazy = 0,
    DAVComponentInstantiationTimingAlwaysEager = 1,
    DAVComponentInstantiationTimingEagerInDefaultApp = 2,
};

class DAVDependency {
public:
    static std::shared_ptr<DAVDependency> dependencyWithProtocol(std::string protocol, bool isRequired = true);
    DAVDependency(std::string protocol, bool isRequired) : protocol_(std::move(protocol)), isRequired_(isRequired) {}
    const std::string& protocol() const { return protocol_; }
    bool isRequired() const { return isRequired_; }

private:
    std::string protocol_;
    bool isRequired_;
};

// Makes the instance, or none; sets *isCacheable when the container may keep it.
using DAVComponentCreationBlock =
    std::function<plat::rt::ObjectPtr(DAVComponentContainer& container, bool* isCacheable)>;

class DAVComponent {
public:
    static std::shared_ptr<DAVComponent> componentWithProtocol(std::string protocol, long instantiationTiming,
                                                               std::vector<std::shared_ptr<DAVDependency>> dependencies,
                                                               DAVComponentCreationBlock creationBlock);
    // Timing 0, no dependencies.
    static std::shared_ptr<DAVComponent> componentWithProtocol(std::string protocol,
                                                               DAVComponentCreationBlock creationBlock);
    DAVComponent(std::string protocol, long instantiationTiming,
                 std::vector<std::shared_ptr<DAVDependency>> dependencies, DAVComponentCreationBlock creationBlock);

    const std::string& protocol() const { return protocol_; }
    long instantiationTiming() const { return instantiationTiming_; }
    const std::vector<std::shared_ptr<DAVDependency>>& dependencies() const { return dependencies_; }
    const DAVComponentCreationBlock& creationBlock() const { return creationBlock_; }

private:
    std::string protocol_;
    long instantiationTiming_;
    std::vector<std::shared_ptr<DAVDependency>> dependencies_;
    DAVComponentCreationBlock creationBlock_;
};

// What a registrant class answers to "componentsToRegister".
using DAVComponentList = std::vector<std::shared_ptr<DAVComponent>>;

class DAVComponentContainer {
public:
    // The registrants, in the order they registered (a class registered twice counts once).
    using RegistrantSet = std::vector<plat::rt::Class*>;

    // A class that does not declare DAVComponentRegistrant or lacks the class method
    // "componentsToRegister" raises NSInvalidArgumentException.
    static void registerAsComponentRegistrant(plat::rt::Class* cls);
    // With no set, logs I-COR000025 and stores nothing.
    static void registerAsComponentRegistrant(plat::rt::Class* cls, RegistrantSet* set);

    // With the process's registrants; eager components are made here.
    explicit DAVComponentContainer(const std::shared_ptr<DAVApp>& app);
    DAVComponentContainer(const std::shared_ptr<DAVApp>& app, const RegistrantSet& registrants);
    // For a container built by hand: protocol name to creation block, no registrants.
    DAVComponentContainer(const std::shared_ptr<DAVApp>& app, std::map<std::string, DAVComponentCreationBlock> components);
    DAVComponentContainer(const DAVComponentContainer&) = delete;
    DAVComponentContainer& operator=(const DAVComponentContainer&) = delete;

    // The kept instance, else a new one from the protocol's block; none for a protocol nobody offers.
    plat::rt::ObjectPtr instanceForProtocol(std::string_view protocol);
    // Tells kept instances that maintain a lifecycle that the app goes, then forgets them; the blocks stay.
    void removeAllCachedInstances();

    std::shared_ptr<DAVApp> app() const { return app_.lock(); }
    std::vector<std::string> registeredProtocols() const;

private:
    void populateComponentsFromRegisteredClasses(const RegistrantSet& registrants, bool isDefaultApp);
    plat::rt::ObjectPtr instantiateInstanceForProtocol(const std::string& protocol,
                                                       const DAVComponentCreationBlock& block);

    std::weak_ptr<DAVApp> app_;
    // Any thread may ask for instances; blocks run outside the lock, so they may ask for other protocols.
    mutable std::mutex mutex_;
    std::map<std::string, DAVComponentCreationBlock, std::less<>> components_;
    std::map<std::string, plat::rt::ObjectPtr, std::less<>> cachedInstances_;
};

// Typed look-up front end.
struct DAVComponentType {
    static plat::rt::ObjectPtr instanceForProtocol(std::string_view protocol, DAVComponentContainer& container) {
        return container.instanceForProtocol(protocol);
    }
};
