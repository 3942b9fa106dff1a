// libFuzzer entry for the measurement message decoders (build with clang and -DPORTAL_FUZZ=ON).

#include "measurement/tests/DMSPBMessagesFuzz.hpp"
#include "platform/foundation/Console.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The decoders' lines for rejected input would drown the fuzzer's own output.
    static plat::sim::ConsoleCapture quiet;
    DMSPBFuzzOneInput(data, size);
    return 0;
}
