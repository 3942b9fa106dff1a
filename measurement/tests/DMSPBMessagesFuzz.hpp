#pragma once
// One fuzz input through every measurement message decoder: whatever decodes must encode, and its encoding
// must decode again to the same bytes. Shared by the seeded run in the tests and the libFuzzer target.

#include "measurement/messages/DMSPBMessages.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// The number of decoders that accepted the input; aborts on a broken round trip so that both drivers see it.
inline int DMSPBFuzzOneInput(const uint8_t* bytes, std::size_t length) {
    using Decoder = std::shared_ptr<NANOMessage> (*)(const plat::Data&);
#define DMS_PB_FUZZ_DECODER(Name)                                                                              \
    [](const plat::Data& d) -> std::shared_ptr<NANOMessage> { return DMSPB##Name::initWithBuffer(d); }
    static const Decoder decoders[] = {
        DMS_PB_FUZZ_DECODER(Audience),          DMS_PB_FUZZ_DECODER(AudienceLeafFilterResult),
        DMS_PB_FUZZ_DECODER(DynamicFilterResultTimestamp), DMS_PB_FUZZ_DECODER(Event),
        DMS_PB_FUZZ_DECODER(EventConfig),       DMS_PB_FUZZ_DECODER(EventFilter),
        DMS_PB_FUZZ_DECODER(EventParam),        DMS_PB_FUZZ_DECODER(Filter),
        DMS_PB_FUZZ_DECODER(MeasurementBatch),  DMS_PB_FUZZ_DECODER(MeasurementBundle),
        DMS_PB_FUZZ_DECODER(MeasurementConfig), DMS_PB_FUZZ_DECODER(NumberFilter),
        DMS_PB_FUZZ_DECODER(PropertyFilter),    DMS_PB_FUZZ_DECODER(ResultData),
        DMS_PB_FUZZ_DECODER(SequenceFilterResultTimestamp), DMS_PB_FUZZ_DECODER(Setting),
        DMS_PB_FUZZ_DECODER(StringFilter),      DMS_PB_FUZZ_DECODER(UserAttribute)};
#undef DMS_PB_FUZZ_DECODER
    const plat::Data input(bytes, bytes + length);
    int decoded = 0;
    for (Decoder decode : decoders) {
        auto message = decode(input);
        if (!message) {
            continue;
        }
        ++decoded;
        auto encoded = message->protoBuffer();
        auto again = encoded ? decode(*encoded) : nullptr;
        if (!again || again->protoBuffer() != encoded) {
            std::abort();
        }
    }
    return decoded;
}
