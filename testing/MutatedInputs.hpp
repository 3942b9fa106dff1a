#pragma once
// Inputs for decoders that must survive hostile bytes: every third round random bytes, otherwise a seed with a
// few bytes overwritten and now and then cut short. The same generator state gives the same inputs.

#include "platform/foundation/Value.hpp"

#include <random>
#include <vector>

namespace plat::test {

inline plat::Data mutatedInput(std::mt19937& random, const std::vector<plat::Data>& seeds, int round) {
    plat::Data input;
    if (round % 3 == 0 || seeds.empty()) {
        input.resize(random() % 64);
        for (auto& b : input) {
            b = static_cast<uint8_t>(random());
        }
        return input;
    }
    input = seeds[random() % seeds.size()];
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < edits && !input.empty(); ++i) {
        input[random() % input.size()] = static_cast<uint8_t>(random());
    }
    if (random() % 4 == 0) {
        input.resize(random() % (input.size() + 1));
    }
    return input;
}

} // namespace plat::test
