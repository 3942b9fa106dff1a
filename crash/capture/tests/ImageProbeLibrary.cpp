// A library that the binary image tests load and unload while the list runs.
extern "C" __attribute__((visibility("default"))) int crashImageProbeFunction(int x) {
    return x * 3 + 1;
}
