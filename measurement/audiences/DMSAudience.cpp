#include "measurement/audiences/DMSAudience.hpp"

std::unique_ptr<DMSAudience> DMSAudience::initWithDatabase(DMSDatabase* database) {
    if (!database) {
        return nullptr;
    }
    return std::make_unique<DMSAudience>(database);
}

bool DMSAudience::evaluateFiltersForUserProperty(const DMSUserAttribute&) {
    (void)database_;
    return true;
}
