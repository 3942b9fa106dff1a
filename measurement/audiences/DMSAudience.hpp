#pragma once
// The audience evaluator: re-evaluates the stored audience filters when events and user properties change.
// The filters themselves are not evaluated yet; every evaluation succeeds.

#include <memory>

class DMSDatabase;
class DMSUserAttribute;

class DMSAudience {
public:
    // None without a database.
    static std::unique_ptr<DMSAudience> initWithDatabase(DMSDatabase* database);
    // Runs inside the user property's transaction: NO rolls the change back.
    bool evaluateFiltersForUserProperty(const DMSUserAttribute& attribute);

    explicit DMSAudience(DMSDatabase* database) : database_(database) {}

private:
    DMSDatabase* database_;
};
