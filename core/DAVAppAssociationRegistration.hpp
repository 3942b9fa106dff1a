#pragma once
// One object per host object and key, made on first request by the caller's block and kept on the host.

#include "platform/runtime/Object.hpp"

#include <functional>
#include <string>

class DAVAppAssociationRegistration {
public:
    // The object registered on the host under the key, made by the block when there is none (a block that
    // gives none leaves the key free). A block that asks again for the same host and key raises
    // "Reentering registeredObjectWithHost:key:creationBlock: not allowed".
    static plat::rt::ObjectPtr registeredObjectWithHost(plat::rt::Object& host, const std::string& key,
                                                       const std::function<plat::rt::ObjectPtr()>& creationBlock);
};
