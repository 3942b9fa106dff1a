#include "platform/foundation/Collator.hpp"

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"

#include <unicode/ucol.h>

namespace plat {

void Collator::Closer::operator()(UCollator* collator) const {
    if (collator) {
        ucol_close(collator);
    }
}

Collator::Collator(const char* locale) {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* opened = ucol_open(locale, &status);
    if (U_FAILURE(status)) {
        Closer{}(opened);
        opened = nullptr;
    }
    collator_.reset(opened);
}

Collator::~Collator() = default;

const Collator& Collator::enUS() {
    static NeverDestroyed<Collator> collator("en_US");
    return *collator;
}

int Collator::compare(std::string_view a, std::string_view b) const {
    if (!collator_) {
        return String::compareUTF16(a, b);
    }
    // Comparing with an opened collator does not change it, so one instance serves every thread.
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult result = ucol_strcollUTF8(collator_.get(), a.data(), static_cast<int32_t>(a.size()),
                                                     b.data(), static_cast<int32_t>(b.size()), &status);
    if (U_FAILURE(status)) {
        return String::compareUTF16(a, b);
    }
    return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

} // namespace plat
