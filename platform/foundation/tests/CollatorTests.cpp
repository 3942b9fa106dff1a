// Locale-aware ordering: the "en_US" rules differ from code-unit order in case, accents and punctuation.

#include "platform/foundation/Collator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

TEST(Collator, OrdersAsEnglishNotByCodeUnits) {
    const plat::Collator& collator = plat::Collator::enUS();
    EXPECT_EQ(&collator, &plat::Collator::enUS());
    std::vector<std::string> keys = {"b", "B", "a", "_z", "\xC3\xA9", "e", "f", "A", "10", "9"};
    std::stable_sort(keys.begin(), keys.end(),
                     [&](const std::string& a, const std::string& b) { return collator.compare(a, b) < 0; });
    const std::vector<std::string> expected = {"_z", "10", "9", "a", "A", "b", "B", "e", "\xC3\xA9", "f"};
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(collator.compare("same", "same"), 0);
    EXPECT_GT(collator.compare("b", "a"), 0);
}

} // namespace
