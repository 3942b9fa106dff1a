#include "RadIrivozSDK/Source/RadIrivozSelectorHelpers.hpp"

namespace rt = plat::rt;

bool injectMethod(rt::Class* sourceClass, rt::Sel newSel, rt::Class* targetClass, rt::Sel hookedSel) {
    rt::Method* source = rt::instanceMethod(sourceClass, newSel);
    const rt::Imp imp = source ? source->implementation() : rt::Imp();
    const std::string types = source ? source->types() : std::string();
    rt::Method* existing = rt::instanceMethod(targetClass, hookedSel);
    if (!existing) {
        rt::addMethod(targetClass, hookedSel, imp, types);
        return false;
    }
    if (existing->owner() != targetClass) {
        // Exchanging the ancestor's entry would hook every other subclass of it too.
        rt::addMethod(targetClass, hookedSel, existing->implementation(), existing->types());
    }
    rt::addMethod(targetClass, newSel, imp, types);
    rt::Method* hooked = rt::ownMethod(targetClass, hookedSel);
    rt::Method* added = rt::ownMethod(targetClass, newSel);
    if (hooked && added && hooked != added) {
        rt::exchangeImplementations(hooked, added);
    }
    return true;
}

void injectIntoOverridingClass(rt::Sel newSel, rt::Sel hookedSel, const std::vector<rt::Class*>& candidates,
                               rt::Class* sourceClass, rt::Class* delegateClass) {
    for (rt::Class* candidate : candidates) {
        if (overridesSelector(candidate, hookedSel)) {
            injectMethod(sourceClass, newSel, candidate, hookedSel);
            return;
        }
    }
    injectMethod(sourceClass, newSel, delegateClass, hookedSel);
}

bool overridesSelector(rt::Class* cls, rt::Sel selector) {
    if (!cls) {
        return false;
    }
    return !(rt::methodImplementation(cls, selector) == rt::methodImplementation(cls->superclass(), selector));
}

rt::Class* classConformingInHierarchy(rt::Class* cls, std::string_view protocol) {
    if (!cls) {
        return nullptr;
    }
    if (rt::declaresProtocol(cls, protocol)) {
        return cls;
    }
    rt::Class* super = cls->superclass();
    if (!super) {
        return nullptr;
    }
    if (!super->superclass() && !rt::conformsTo(super, protocol)) {
        // No class up the chain declares it: the class just below the root.
        return cls;
    }
    return classConformingInHierarchy(super, protocol);
}

std::vector<rt::Class*> delegateClassChain(rt::Class* objectClass, rt::Class* delegateClass) {
    std::vector<rt::Class*> chain;
    for (rt::Class* cls = objectClass; cls; cls = cls->superclass()) {
        chain.push_back(cls);
        if (cls == delegateClass) {
            return chain;
        }
    }
    // The delegate class is not an ancestor of the object's class: only it may be hooked.
    return {delegateClass};
}
