#pragma once
// Per-currency running totals of purchase values, kept as automatic user properties "_ltv_<CURRENCY>" in
// millionths of the currency unit. Called by the event pipeline on the worker queue inside the event's first
// transaction; a NO answer rolls that transaction back and the event is not stored.

#include "measurement/storage/DMSEvent.hpp"

class DMSDatabase;

class DMSLifetimeValueRecorder {
public:
    static constexpr const char* kPropertyPrefix = "_ltv_";

    // "_iap" or "ecommerce_purchase".
    static bool isPurchaseEvent(const DMSEvent& event);
    // YES when there is nothing to record, when the currency or value is unusable (reported), or when the
    // total was written; NO when a database step failed or the amount cannot be added without leaving the
    // 64-bit range.
    static bool recordLifetimeValueToDatabase(DMSDatabase* database, const DMSEvent& event);
};
