// A shared library of the crash probe, so that a recorded stack passes through a second image with a C++ name.

extern "C" {
// Set by the probe before it calls foo.
void (*crash_probe_lib_target)() = nullptr;
}

__attribute__((noinline)) void foo() {
    crash_probe_lib_target();
    // Keeps the call a call (not a jump), so foo has a frame of its own in the stack.
    __asm__ volatile("" ::: "memory");
}
