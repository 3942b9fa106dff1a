#include "core/DAVComponentContainer.hpp"

#include "core/DAVApp.hpp"
#include "core/DAVLogger.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

#include <algorithm>

namespace rt = plat::rt;

namespace {

constexpr std::string_view kContainerService = "[Vedudodu/Core]";

struct Registrants {
    std::mutex mutex;
    DAVComponentContainer::RegistrantSet set;
};

Registrants& registrants() {
    static plat::NeverDestroyed<Registrants> r;
    return *r;
}

DAVComponentContainer::RegistrantSet registrantSnapshot() {
    auto& r = registrants();
    std::lock_guard lock(r.mutex);
    return r.set;
}

} // namespace

std::shared_ptr<DAVDependency> DAVDependency::dependencyWithProtocol(std::string protocol, bool isRequired) {
    return std::make_shared<DAVDependency>(std::move(protocol), isRequired);
}

std::shared_ptr<DAVComponent> DAVComponent::componentWithProtocol(
    std::string protocol, long instantiationTiming, std::vector<std::shared_ptr<DAVDependency>> dependencies,
    DAVComponentCreationBlock creationBlock) {
    return std::make_shared<DAVComponent>(std::move(protocol), instantiationTiming, std::move(dependencies),
                                          std::move(creationBlock));
}

std::shared_ptr<DAVComponent> DAVComponent::componentWithProtocol(std::string protocol,
                                                                  DAVComponentCreationBlock creationBlock) {
    return componentWithProtocol(std::move(protocol), DAVComponentInstantiationTimingLazy, {},
                                 std::move(creationBlock));
}

DAVComponent::DAVComponent(std::string protocol, long instantiationTiming,
                           std::vector<std::shared_ptr<DAVDependency>> dependencies,
                           DAVComponentCreationBlock creationBlock)
    : protocol_(std::move(protocol)), instantiationTiming_(instantiationTiming),
      dependencies_(std::move(dependencies)), creationBlock_(std::move(creationBlock)) {}

void DAVComponentContainer::registerAsComponentRegistrant(rt::Class* cls) {
    auto& r = registrants();
    std::lock_guard lock(r.mutex);
    registerAsComponentRegistrant(cls, &r.set);
}

void DAVComponentContainer::registerAsComponentRegistrant(rt::Class* cls, RegistrantSet* set) {
    if (!set) {
        DAVLoggerWriteWarning(kContainerService, "I-COR000025", "Attempted to store registered components in an empty set.");
        return;
    }
    if (!cls || !rt::conformsTo(cls, kDAVComponentRegistrantProtocol) ||
        !rt::classMethod(cls, "componentsToRegister")) {
        plat::Exception::raise(plat::NSInvalidArgumentException,
                               plat::format("Class %@ attempted to register components, but it does not conform to "
                                            "`DAVComponentRegistrant` or provide a `componentsToRegister:` method.",
                                            cls ? cls->name() : std::string("(null)")));
    }
    if (std::find(set->begin(), set->end(), cls) == set->end()) {
        set->push_back(cls);
    }
}

DAVComponentContainer::DAVComponentContainer(const std::shared_ptr<DAVApp>& app)
    : DAVComponentContainer(app, registrantSnapshot()) {}

DAVComponentContainer::DAVComponentContainer(const std::shared_ptr<DAVApp>& app, const RegistrantSet& registrants)
    : app_(app) {
    populateComponentsFromRegisteredClasses(registrants, app && app->isDefaultApp());
}

DAVComponentContainer::DAVComponentContainer(const std::shared_ptr<DAVApp>& app,
                                             std::map<std::string, DAVComponentCreationBlock> components)
    : app_(app), components_(components.begin(), components.end()) {}

void DAVComponentContainer::populateComponentsFromRegisteredClasses(const RegistrantSet& registrants,
                                                                    bool isDefaultApp) {
    for (rt::Class* cls : registrants) {
        auto components = rt::msgSend<DAVComponentList>(*cls, "componentsToRegister");
        for (const auto& component : components) {
            if (!component) {
                continue;
            }
            const std::string& protocol = component->protocol();
            {
                std::lock_guard lock(mutex_);
                if (components_.contains(protocol)) {
                    DAVLoggerWriteError(kContainerService, "I-COR000029",
                                        "Attempted to register protocol %@, but it already has an implementation.",
                                        protocol);
                    continue;
                }
                components_.emplace(protocol, component->creationBlock());
            }
            const long timing = component->instantiationTiming();
            if (timing == DAVComponentInstantiationTimingAlwaysEager ||
                (timing == DAVComponentInstantiationTimingEagerInDefaultApp && isDefaultApp)) {
                (void)instantiateInstanceForProtocol(protocol, component->creationBlock());
            }
        }
    }
}

rt::ObjectPtr DAVComponentContainer::instantiateInstanceForProtocol(const std::string& protocol,
                                                                    const DAVComponentCreationBlock& block) {
    if (!block) {
        return nullptr;
    }
    bool isCacheable = false;
    rt::ObjectPtr instance = block(*this, &isCacheable);
    if (!instance) {
        return nullptr;
    }
    if (!rt::conformsTo(rt::object_getClass(*instance), protocol)) {
        DAVLoggerWriteError(kContainerService, "I-COR000030",
                            "An instance conforming to %@ was requested, but the instance provided does not "
                            "conform to the protocol",
                            protocol);
    }
    if (isCacheable) {
        std::lock_guard lock(mutex_);
        // Two threads may have made one at once; the first kept instance is the one everybody gets.
        return cachedInstances_.emplace(protocol, instance).first->second;
    }
    return instance;
}

rt::ObjectPtr DAVComponentContainer::instanceForProtocol(std::string_view protocol) {
    DAVComponentCreationBlock block;
    {
        std::lock_guard lock(mutex_);
        if (auto it = cachedInstances_.find(protocol); it != cachedInstances_.end()) {
            return it->second;
        }
        auto it = components_.find(protocol);
        if (it == components_.end()) {
            return nullptr;
        }
        block = it->second;
    }
    return instantiateInstanceForProtocol(std::string(protocol), block);
}

void DAVComponentContainer::removeAllCachedInstances() {
    std::map<std::string, rt::ObjectPtr, std::less<>> kept;
    {
        std::lock_guard lock(mutex_);
        kept.swap(cachedInstances_);
    }
    rt::ObjectPtr app = app_.lock();
    for (const auto& [protocol, instance] : kept) {
        if (rt::conformsTo(rt::object_getClass(*instance), kDAVComponentLifecycleMaintainerProtocol) &&
            rt::respondsTo(*instance, "appWillBeDeleted:")) {
            rt::msgSend<void>(*instance, "appWillBeDeleted:", app);
        }
    }
}

std::vector<std::string> DAVComponentContainer::registeredProtocols() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, block] : components_) {
        names.push_back(name);
    }
    return names;
}
