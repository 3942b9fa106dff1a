#include "app/Strings.hpp"

#include "platform/foundation/NeverDestroyed.hpp"

// Built on first read and never destroyed, so a navigation decision during exit still finds them.

const std::vector<std::string>& Strings::ExternalLinks::links() {
    static plat::NeverDestroyed<const std::vector<std::string>> list(
        std::vector<std::string>{std::string(deployment::kExternalSite)});
    return list.get();
}

const std::vector<std::string>& Strings::BaseUrls::urls() {
    static plat::NeverDestroyed<const std::vector<std::string>> list(
        std::vector<std::string>{std::string(deployment::kPortalRoot)});
    return list.get();
}
