#pragma once
// Fuzz inputs through the measurement message decoders: whatever decodes must encode, and its encoding must
// decode again to the same bytes. Shared by the seeded run in the tests (every decoder per input) and the
// libFuzzer programs (one decoder each).

#include "measurement/messages/DMSPBMessages.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using DMSPBFuzzDecoder = std::shared_ptr<NANOMessage> (*)(const plat::Data&);

template <class Message> std::shared_ptr<NANOMessage> DMSPBFuzzDecode(const plat::Data& bytes) {
    return Message::initWithBuffer(bytes);
}

// 1 when the decoder accepted the input, else 0; aborts on a broken round trip so that every driver sees it.
inline int DMSPBFuzzRoundTrip(DMSPBFuzzDecoder decode, const plat::Data& input) {
    auto message = decode(input);
    if (!message) {
        return 0;
    }
    auto encoded = message->protoBuffer();
    auto again = encoded ? decode(*encoded) : nullptr;
    if (!again || again->protoBuffer() != encoded) {
        std::abort();
    }
    return 1;
}

// The number of decoders that accepted the input.
inline int DMSPBFuzzOneInput(const uint8_t* bytes, std::size_t length) {
    static const DMSPBFuzzDecoder decoders[] = {
        &DMSPBFuzzDecode<DMSPBAudience>,
        &DMSPBFuzzDecode<DMSPBAudienceLeafFilterResult>,
        &DMSPBFuzzDecode<DMSPBDynamicFilterResultTimestamp>,
        &DMSPBFuzzDecode<DMSPBEvent>,
        &DMSPBFuzzDecode<DMSPBEventConfig>,
        &DMSPBFuzzDecode<DMSPBEventFilter>,
        &DMSPBFuzzDecode<DMSPBEventParam>,
        &DMSPBFuzzDecode<DMSPBFilter>,
        &DMSPBFuzzDecode<DMSPBMeasurementBatch>,
        &DMSPBFuzzDecode<DMSPBMeasurementBundle>,
        &DMSPBFuzzDecode<DMSPBMeasurementConfig>,
        &DMSPBFuzzDecode<DMSPBNumberFilter>,
        &DMSPBFuzzDecode<DMSPBPropertyFilter>,
        &DMSPBFuzzDecode<DMSPBResultData>,
        &DMSPBFuzzDecode<DMSPBSequenceFilterResultTimestamp>,
        &DMSPBFuzzDecode<DMSPBSetting>,
        &DMSPBFuzzDecode<DMSPBStringFilter>,
        &DMSPBFuzzDecode<DMSPBUserAttribute>,
    };
    const plat::Data input(bytes, bytes + length);
    int decoded = 0;
    for (DMSPBFuzzDecoder decode : decoders) {
        decoded += DMSPBFuzzRoundTrip(decode, input);
    }
    return decoded;
}
