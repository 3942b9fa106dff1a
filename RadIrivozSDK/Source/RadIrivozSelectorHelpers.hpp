#pragma once
// Putting the push client's implementations behind a delegate's methods at run time. After an injection
// the hooked selector runs the push client's implementation and the new (radIrivoz...) selector the app's
// own, when the app had one; without one the new selector does not exist, so respondsTo answers NO.

#include "platform/runtime/Runtime.hpp"

#include <string_view>
#include <vector>

// Takes the source class's implementation of `newSel`. When the target (or an ancestor) has `hookedSel`,
// the target gets the implementation under `newSel` and the two are exchanged (YES); an inherited
// implementation is first copied into the target, so the ancestor and its other subclasses keep theirs.
// Otherwise the implementation goes in under `hookedSel` (NO).
bool injectMethod(plat::rt::Class* sourceClass, plat::rt::Sel newSel, plat::rt::Class* targetClass,
                  plat::rt::Sel hookedSel);
// The first class of `candidates` that overrides `hookedSel` gets the injection, else `delegateClass`.
void injectIntoOverridingClass(plat::rt::Sel newSel, plat::rt::Sel hookedSel,
                               const std::vector<plat::rt::Class*>& candidates, plat::rt::Class* sourceClass,
                               plat::rt::Class* delegateClass);
// YES when the class's implementation differs from its superclass's.
bool overridesSelector(plat::rt::Class* cls, plat::rt::Sel selector);
// The class itself when it declares the protocol, else the nearest ancestor that does; without one, the
// class just below the root class; null only for a root class that does not declare it.
plat::rt::Class* classConformingInHierarchy(plat::rt::Class* cls, std::string_view protocol);
// The classes from the object's class up to `delegateClass` (both included), most derived first: the only
// classes whose methods the object runs. A sibling of the object's class must never receive a hook.
std::vector<plat::rt::Class*> delegateClassChain(plat::rt::Class* objectClass, plat::rt::Class* delegateClass);
