#pragma once
// App Store receipt fixtures: purchase records laid out as the receipt's DER encoding lays them out (a record
// is attribute 17 holding a set of attributes 1702-1719), with some unrelated bytes around them, so that the
// pattern reader meets what a device receipt holds.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plat::test {

struct ReceiptPurchase {
    std::string productID;
    std::string transactionID;
    std::string originalTransactionID;
    std::optional<std::string> expirationDate; // e.g. "2027-01-11T08:00:00Z"
    std::optional<uint8_t> purchaseType;
    std::optional<uint8_t> freeTrial;
    std::optional<uint8_t> introductoryOffer;
};

namespace receipt_detail {

inline void appendField(plat::Data& out, uint8_t type, uint8_t tag, const plat::Data& value) {
    // SEQUENCE { INTEGER 0x06tt, INTEGER 1, OCTET STRING { tag, length, value } }
    const auto inner = static_cast<uint8_t>(value.size() + 2);
    plat::Data field = {0x02, 0x02, 0x06, type, 0x02, 0x01, 0x01, 0x04, inner, tag, static_cast<uint8_t>(value.size())};
    field.insert(field.end(), value.begin(), value.end());
    out.push_back(0x30);
    out.push_back(static_cast<uint8_t>(field.size()));
    out.insert(out.end(), field.begin(), field.end());
}

inline plat::Data text(const std::string& s) {
    return plat::Data(s.begin(), s.end());
}

} // namespace receipt_detail

inline plat::Data receiptRecord(const ReceiptPurchase& p) {
    using namespace receipt_detail;
    plat::Data fields;
    appendField(fields, 0xA6, 0x0C, text(p.productID));
    appendField(fields, 0xA7, 0x0C, text(p.transactionID));
    appendField(fields, 0xA9, 0x0C, text(p.originalTransactionID));
    if (p.expirationDate) {
        appendField(fields, 0xAC, 0x16, text(*p.expirationDate));
    }
    if (p.purchaseType) {
        appendField(fields, 0xAB, 0x02, plat::Data{*p.purchaseType});
    }
    if (p.freeTrial) {
        appendField(fields, 0xB1, 0x02, plat::Data{*p.freeTrial});
    }
    if (p.introductoryOffer) {
        appendField(fields, 0xB7, 0x02, plat::Data{*p.introductoryOffer});
    }
    // SEQUENCE { INTEGER 17, INTEGER 1, OCTET STRING (long form length) { SET { fields } } }
    plat::Data record = {0x02, 0x01, 0x11, 0x02, 0x01, 0x01, 0x04, 0x82,
                         static_cast<uint8_t>((fields.size() + 4) >> 8), static_cast<uint8_t>(fields.size() + 4),
                         0x31, 0x82, static_cast<uint8_t>(fields.size() >> 8), static_cast<uint8_t>(fields.size())};
    record.insert(record.end(), fields.begin(), fields.end());
    plat::Data out = {0x30, 0x82, static_cast<uint8_t>(record.size() >> 8), static_cast<uint8_t>(record.size())};
    out.insert(out.end(), record.begin(), record.end());
    return out;
}

// A receipt header (bundle ID and version attributes), then the purchases in order.
inline plat::Data receiptBytes(const std::vector<ReceiptPurchase>& purchases) {
    plat::Data out = {0x30, 0x80, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02, 0xA0, 0x80,
                      0x30, 0x0F, 0x02, 0x01, 0x02, 0x02, 0x01, 0x01, 0x04, 0x07, 0x0C, 0x05, 'p', 'o', 'r', 't', 'l'};
    for (const auto& purchase : purchases) {
        plat::Data record = receiptRecord(purchase);
        out.insert(out.end(), record.begin(), record.end());
    }
    out.insert(out.end(), {0x00, 0x00, 0x00, 0x00});
    return out;
}

} // namespace plat::test
