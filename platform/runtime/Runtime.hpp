#pragma once
// The object runtime's functions: classes by name, method tables (add, replace, exchange), protocols,
// run-time subclasses, changing an object's class, and making instances. Every function is thread-safe
// (one reader-writer lock over the registry). A null class or object is answered with null or false, the
// way the platform answers Nil.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/runtime/Class.hpp"
#include "platform/runtime/Imp.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/runtime/Sel.hpp"

namespace plat::rt {

// The root class "NSObject"; every class registered without a superclass argument descends from it.
Class* rootClass();

namespace detail {
Class* registerClass(std::string_view name, Class* superclass, std::vector<std::string> protocols,
                     size_t instanceSize, Class::Factory factory);
}

// Registers a class. When the name is already registered with the same superclass the existing class is
// returned (stand-ins and the device profile may both register one); with another superclass, null.
// A null superclass makes a new root class.
Class* registerClass(std::string_view name, Class* superclass = rootClass(),
                     std::vector<std::string> protocols = {});

// Registers a class whose instances are the C++ type T (constructible from Class*); createInstance of it,
// or of a run-time subclass of it, makes a T.
template <class T>
Class* registerClass(std::string_view name, Class* superclass = rootClass(),
                     std::vector<std::string> protocols = {}) {
    static_assert(std::is_base_of_v<Object, T>, "runtime classes are made of rt::Object subclasses");
    return detail::registerClass(name, superclass, std::move(protocols), sizeof(T),
                                 [](Class* cls) -> ObjectPtr { return std::make_shared<T>(cls); });
}

Class* getClass(std::string_view name); // null when absent
std::vector<Class*> classList();        // registration order, so superclasses precede subclasses
Class* metaclass(Class* cls);
// Whether cls is ancestor or a descendant of it.
bool isSubclassOf(Class* cls, Class* ancestor);

// Methods. instanceMethod walks the superclasses; ownMethod looks at the class alone. Class methods are the
// instance methods of the metaclass.
Method* instanceMethod(Class* cls, Sel sel);
Method* classMethod(Class* cls, Sel sel);
Method* ownMethod(Class* cls, Sel sel);
// The implementation that a message to an instance of cls would run; null when none.
Imp methodImplementation(Class* cls, Sel sel);
// False when the class itself already has the selector (an inherited one is overridden). A null Imp adds
// a marker: a method that exists but has no body.
bool addMethod(Class* cls, Sel sel, Imp imp, std::string_view types = {});
// Adds the method when the class itself lacks it (returning a null Imp), else sets its implementation and
// returns the previous one.
Imp replaceMethod(Class* cls, Sel sel, Imp imp, std::string_view types = {});
void exchangeImplementations(Method* a, Method* b);

// Protocols: declaresProtocol is the class's own declaration, conformsTo follows the superclasses.
bool addProtocol(Class* cls, std::string_view protocol);
bool declaresProtocol(Class* cls, std::string_view protocol);
bool conformsTo(Class* cls, std::string_view protocol);

// Run-time subclasses. allocateClassPair gives null when the name is taken (registered or allocated);
// the class is found by name only after registerClassPair. instanceSize = superclass's + extraBytes.
Class* allocateClassPair(Class* superclass, std::string_view name, size_t extraBytes = 0);
void registerClassPair(Class* cls);

Class* object_getClass(const Object& obj);
// Returns the previous class; a null class changes nothing and gives null.
Class* object_setClass(Object& obj, Class* cls);
std::string className(const Object& obj);
bool isKindOf(const Object& obj, Class* cls);

// Whether a message would find an implementation (a marker without body does not count).
bool respondsTo(const Object& obj, Sel sel);
bool respondsTo(const ObjectPtr& obj, Sel sel);
bool instancesRespondTo(Class* cls, Sel sel);

// alloc + init: an instance of cls made by the nearest class up the chain that has a C++ type
// (registerClass<T>), else a plain Object. A null class gives null.
ObjectPtr createInstance(Class* cls);

// An object of C++ type T whose class is cls. A null class is a porting fault (std::logic_error).
template <class T, class... A> std::shared_ptr<T> make(Class* cls, A&&... args) {
    static_assert(std::is_base_of_v<Object, T>);
    return std::make_shared<T>(cls, std::forward<A>(args)...);
}

// The object's "description" message, so a description method added at run time is honoured.
std::string describe(const Object& obj);

} // namespace plat::rt
