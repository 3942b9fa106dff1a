// libFuzzer target for the receipt's purchase records: any bytes, any product, every offset. The reader must
// stay within the bytes and answer only records of the product asked for.

#include "measurement/engine/DMSInAppPurchase.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const plat::Data bytes(data, data + size);
    for (size_t offset = 0; offset < bytes.size(); ++offset) {
        if (auto item = DMSInAppPurchaseRecordAtOffset(bytes, offset, "gems"); item && item->productID != "gems") {
            std::abort();
        }
    }
    return 0;
}
