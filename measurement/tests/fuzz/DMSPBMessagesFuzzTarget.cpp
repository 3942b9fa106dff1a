// libFuzzer entry for one measurement message decoder, the one named by DMS_PB_FUZZ_MESSAGE (the class name
// without its "DMSPB" prefix); built once per decoder with clang and -DPORTAL_FUZZ=ON.

#include "measurement/tests/DMSPBMessagesFuzz.hpp"
#include "platform/foundation/Console.hpp"

#ifndef DMS_PB_FUZZ_MESSAGE
#error "DMS_PB_FUZZ_MESSAGE names the message whose decoder this program runs"
#endif

#define DMS_PB_FUZZ_JOIN(a, b) a##b
#define DMS_PB_FUZZ_CLASS(name) DMS_PB_FUZZ_JOIN(DMSPB, name)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The decoder's lines for rejected input would drown the fuzzer's own output; dropped after each input,
    // or millions of them would grow into the fuzzer's memory limit.
    static plat::sim::ConsoleCapture quiet;
    DMSPBFuzzRoundTrip(&DMSPBFuzzDecode<DMS_PB_FUZZ_CLASS(DMS_PB_FUZZ_MESSAGE)>, plat::Data(data, data + size));
    plat::sim::Console::clearCaptured();
    return 0;
}
