#include "platform/runtime/Runtime.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Registry.hpp"

namespace plat::rt {

struct Class::Key {};

namespace {

std::string addressText(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::string defaultDescription(const Object& obj) {
    // A class describes itself by its name, as class objects do on the platform.
    if (auto* cls = dynamic_cast<const Class*>(&obj); cls && !cls->isMetaclass()) {
        return cls->name();
    }
    return "<" + className(obj) + ": " + addressText(&obj) + ">";
}

std::string valueClassName(const Object& obj) {
    return className(obj);
}

} // namespace

// ---- registry ------------------------------------------------------------------------------------

Registry& Registry::shared() {
    static NeverDestroyed<Registry> instance;
    return *instance;
}

Registry::Registry() {
    root = makeClassLocked("NSObject", nullptr, sizeof(Object));
    methods(root).emplace(Sel("description"),
                          std::make_unique<Method>(root, Sel("description"),
                                                   Imp([](Object& self) { return defaultDescription(self); }),
                                                   "@16@0:8"));
    registerLocked(root);
    // Values describe the objects they hold through the runtime, so a description added at run time shows.
    Value::setObjectHooks(ObjectHooks{&valueClassName, &describe});
}

Class* Registry::makeClassLocked(std::string_view name, Class* superclass, size_t instanceSize) {
    const bool newRoot = superclass == nullptr;
    Class* rootMeta = newRoot ? nullptr : superclass->metaclass();
    while (rootMeta && rootMeta->superclass() && rootMeta->superclass()->isMetaclass()) {
        rootMeta = rootMeta->superclass();
    }
    auto meta =
        std::make_shared<Class>(Class::Key{}, std::string(name), newRoot ? nullptr : superclass->metaclass(),
                                rootMeta, true, sizeof(Class));
    if (newRoot) {
        // The root metaclass is its own class.
        ObjectAccess::isa(*meta).store(meta.get(), std::memory_order_release);
    }
    if (instanceSize == 0) {
        instanceSize = newRoot ? sizeof(Object) : superclass->instanceSize();
    }
    auto cls =
        std::make_shared<Class>(Class::Key{}, std::string(name), superclass, meta.get(), false, instanceSize);
    if (newRoot) {
        // Class methods of a root class fall back to its instance methods, as on the platform.
        meta->super_ = cls.get();
    }
    owned.push_back(meta);
    owned.push_back(cls);
    return cls.get();
}

void Registry::registerLocked(Class* cls) {
    byName.emplace(cls->name(), cls);
    pendingPairs.erase(cls->name());
    removed.erase(cls->name());
    list.push_back(cls);
    cls->registered_ = true;
}

void Registry::unregisterLocked(Class* cls) {
    byName.erase(cls->name());
    list.erase(std::remove(list.begin(), list.end(), cls), list.end());
    removed.emplace(cls->name(), cls);
    cls->registered_ = false;
}

Method* Registry::ownMethodLocked(Class* cls, Sel sel) {
    if (!cls) {
        return nullptr;
    }
    auto it = cls->methods_.find(sel);
    return it == cls->methods_.end() ? nullptr : it->second.get();
}

Method* Registry::findMethodLocked(Class* cls, Sel sel) {
    for (Class* c = cls; c; c = c->superclass()) {
        if (Method* m = ownMethodLocked(c, sel)) {
            return m;
        }
    }
    return nullptr;
}

void Registry::recordSend(const Object& receiver, Sel sel) {
    std::lock_guard lock(logMutex);
    if (recordedSelectors.count(sel)) {
        sendLog.push_back(sim::SentMessage{className(receiver), sel.str()});
    }
}

// ---- Class and Method ------------------------------------------------------------------------------

Class::Class(const Key&, std::string name, Class* superclass, Class* metaclass, bool isMeta,
             size_t instanceSize)
    : Object(metaclass, UncheckedTag{}), name_(std::move(name)), super_(superclass), isMeta_(isMeta),
      instanceSize_(instanceSize) {}

bool Class::isRegistered() const noexcept {
    std::shared_lock lock(Registry::shared().mutex);
    return registered_;
}

Imp Method::implementation() const {
    std::shared_lock lock(Registry::shared().mutex);
    return imp_;
}

Imp Method::setImplementation(Imp imp) {
    std::unique_lock lock(Registry::shared().mutex);
    std::swap(imp_, imp);
    return imp;
}

std::string Method::types() const {
    std::shared_lock lock(Registry::shared().mutex);
    return types_;
}

// ---- classes -------------------------------------------------------------------------------------

Class* rootClass() {
    return Registry::shared().root;
}

Class* detail::registerClass(std::string_view name, Class* superclass, std::vector<std::string> protocols,
                             size_t instanceSize, Class::Factory factory) {
    auto& reg = Registry::shared();
    std::unique_lock lock(reg.mutex);
    Class* cls = nullptr;
    if (auto it = reg.byName.find(name); it != reg.byName.end()) {
        cls = it->second;
        if (cls->superclass() != superclass) {
            return nullptr;
        }
    } else if (reg.pendingPairs.count(name) || reg.removed.count(name)) {
        // A pair being built owns the name; a class removed by a test stays absent.
        return nullptr;
    } else {
        cls = reg.makeClassLocked(name, superclass, instanceSize);
        reg.registerLocked(cls);
    }
    if (factory && !Registry::factory(cls)) {
        Registry::factory(cls) = std::move(factory);
    }
    auto& own = Registry::protocols(cls);
    for (auto& p : protocols) {
        if (std::find(own.begin(), own.end(), p) == own.end()) {
            own.push_back(std::move(p));
        }
    }
    return cls;
}

Class* registerClass(std::string_view name, Class* superclass, std::vector<std::string> protocols) {
    return detail::registerClass(name, superclass, std::move(protocols), 0, nullptr);
}

Class* getClass(std::string_view name) {
    auto& reg = Registry::shared();
    std::shared_lock lock(reg.mutex);
    auto it = reg.byName.find(name);
    return it == reg.byName.end() ? nullptr : it->second;
}

std::vector<Class*> classList() {
    auto& reg = Registry::shared();
    std::shared_lock lock(reg.mutex);
    return reg.list;
}

Class* metaclass(Class* cls) {
    return cls ? cls->metaclass() : nullptr;
}

bool isSubclassOf(Class* cls, Class* ancestor) {
    if (!ancestor) {
        return false;
    }
    for (Class* c = cls; c; c = c->superclass()) {
        if (c == ancestor) {
            return true;
        }
    }
    return false;
}

// ---- methods -------------------------------------------------------------------------------------

Method* instanceMethod(Class* cls, Sel sel) {
    std::shared_lock lock(Registry::shared().mutex);
    return Registry::findMethodLocked(cls, sel);
}

Method* classMethod(Class* cls, Sel sel) {
    return instanceMethod(metaclass(cls), sel);
}

Method* ownMethod(Class* cls, Sel sel) {
    std::shared_lock lock(Registry::shared().mutex);
    return Registry::ownMethodLocked(cls, sel);
}

Imp methodImplementation(Class* cls, Sel sel) {
    std::shared_lock lock(Registry::shared().mutex);
    Method* m = Registry::findMethodLocked(cls, sel);
    return m ? Registry::imp(m) : Imp();
}

bool addMethod(Class* cls, Sel sel, Imp imp, std::string_view types) {
    if (!cls || sel.isNull()) {
        return false;
    }
    std::unique_lock lock(Registry::shared().mutex);
    auto& table = Registry::methods(cls);
    if (table.count(sel)) {
        return false;
    }
    table.emplace(sel, std::make_unique<Method>(cls, sel, std::move(imp), std::string(types)));
    return true;
}

Imp replaceMethod(Class* cls, Sel sel, Imp imp, std::string_view types) {
    if (!cls || sel.isNull()) {
        return Imp();
    }
    std::unique_lock lock(Registry::shared().mutex);
    if (Method* m = Registry::ownMethodLocked(cls, sel)) {
        std::swap(Registry::imp(m), imp);
        return imp;
    }
    Registry::methods(cls).emplace(sel,
                                   std::make_unique<Method>(cls, sel, std::move(imp), std::string(types)));
    return Imp();
}

void exchangeImplementations(Method* a, Method* b) {
    if (!a || !b) {
        return;
    }
    std::unique_lock lock(Registry::shared().mutex);
    std::swap(Registry::imp(a), Registry::imp(b));
}

// ---- protocols -----------------------------------------------------------------------------------

bool addProtocol(Class* cls, std::string_view protocol) {
    if (!cls) {
        return false;
    }
    std::unique_lock lock(Registry::shared().mutex);
    auto& own = Registry::protocols(cls);
    if (std::find(own.begin(), own.end(), protocol) != own.end()) {
        return false;
    }
    own.emplace_back(protocol);
    return true;
}

bool declaresProtocol(Class* cls, std::string_view protocol) {
    if (!cls) {
        return false;
    }
    std::shared_lock lock(Registry::shared().mutex);
    const auto& own = Registry::protocols(cls);
    return std::find(own.begin(), own.end(), protocol) != own.end();
}

bool conformsTo(Class* cls, std::string_view protocol) {
    std::shared_lock lock(Registry::shared().mutex);
    for (Class* c = cls; c; c = c->superclass()) {
        const auto& own = Registry::protocols(c);
        if (std::find(own.begin(), own.end(), protocol) != own.end()) {
            return true;
        }
    }
    return false;
}

// ---- run-time subclasses -------------------------------------------------------------------------

Class* allocateClassPair(Class* superclass, std::string_view name, size_t extraBytes) {
    auto& reg = Registry::shared();
    std::unique_lock lock(reg.mutex);
    if (name.empty() || reg.byName.count(name) || reg.pendingPairs.count(name)) {
        return nullptr;
    }
    const size_t base = superclass ? superclass->instanceSize() : sizeof(Object);
    reg.pendingPairs.emplace(name);
    return reg.makeClassLocked(name, superclass, base + extraBytes);
}

void registerClassPair(Class* cls) {
    if (!cls || cls->isMetaclass()) {
        return;
    }
    auto& reg = Registry::shared();
    std::unique_lock lock(reg.mutex);
    if (Registry::registered(cls) || reg.byName.count(cls->name())) {
        return;
    }
    reg.registerLocked(cls);
}

// ---- objects -------------------------------------------------------------------------------------

Class* object_getClass(const Object& obj) {
    return obj.isa();
}

Class* object_setClass(Object& obj, Class* cls) {
    if (!cls) {
        return nullptr;
    }
    return ObjectAccess::isa(obj).exchange(cls, std::memory_order_acq_rel);
}

std::string className(const Object& obj) {
    return obj.isa()->name();
}

bool isKindOf(const Object& obj, Class* cls) {
    return isSubclassOf(obj.isa(), cls);
}

bool respondsTo(const Object& obj, Sel sel) {
    return !methodImplementation(obj.isa(), sel).isNull();
}

bool respondsTo(const ObjectPtr& obj, Sel sel) {
    return obj && respondsTo(*obj, sel);
}

bool instancesRespondTo(Class* cls, Sel sel) {
    return !methodImplementation(cls, sel).isNull();
}

ObjectPtr createInstance(Class* cls) {
    if (!cls) {
        return nullptr;
    }
    Class::Factory factory;
    {
        std::shared_lock lock(Registry::shared().mutex);
        for (Class* c = cls; c && !factory; c = c->superclass()) {
            factory = Registry::factory(c);
        }
    }
    return factory ? factory(cls) : std::make_shared<Object>(cls);
}

std::string describe(const Object& obj) {
    static const Sel description("description");
    Imp imp = methodImplementation(obj.isa(), description);
    if (imp.hasSignature<std::string>()) {
        // Implementations take a mutable receiver; describing does not change it.
        return imp.call<std::string>(const_cast<Object&>(obj));
    }
    return defaultDescription(obj);
}

// ---- messaging -----------------------------------------------------------------------------------

Imp detail::implementationForMessage(const Object& receiver, Sel sel) {
    auto& reg = Registry::shared();
    Class* cls = receiver.isa();
    Imp imp;
    {
        std::shared_lock lock(reg.mutex);
        if (Method* m = Registry::findMethodLocked(cls, sel)) {
            imp = Registry::imp(m);
        }
    }
    if (reg.recording.load(std::memory_order_acquire)) {
        reg.recordSend(receiver, sel);
    }
    if (imp.isNull()) {
        // A method without a body (a marker, or one the device profile hides) answers as a missing one: the
        // same check respondsTo makes.
        const bool toClass = cls->isMetaclass();
        throw Exception(NSInvalidArgumentException, std::string(toClass ? "+[" : "-[") + cls->name() + " " +
                                                        sel.str() + "]: unrecognized selector sent to " +
                                                        (toClass ? "class " : "instance ") +
                                                        addressText(&receiver));
    }
    return imp;
}

} // namespace plat::rt
