#pragma once
// Facts about the process's own executable image: where its file is, the names of executable architectures
// by cpu type and subtype, and the identity of the running build. The device's executables carry a
// per-architecture UUID in their own format; here the running program is ELF, so its identity is one slice
// named from the ELF machine whose UUID is the start of the build-id note.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plat {

// The running executable's file: the target of /proc/self/exe unless a test points it elsewhere.
std::string executablePath();
// The file of the loaded image that contains the address (dladdr); null when none does. The text lives as
// long as the image stays loaded.
const char* imagePathContaining(const void* address);
// The in-memory header of the main executable in the device's executable format: there is none here.
const void* mainExecutableHeader();

// One row of the architecture table.
struct ArchitectureInfo {
    const char* name;
    std::int32_t cputype;
    std::int32_t cpusubtype;
};
std::span<const ArchitectureInfo> architectureTable();
// The table's name for the pair, the subtype masked with 0x00FFFFFF (capability bits dropped); null when
// the table has no such row.
const char* architectureName(std::int32_t cputype, std::int32_t cpusubtype);
// The cpu type and subtype of this machine (zeros when the table does not know it).
ArchitectureInfo localArchitecture();

struct ExecutableSlice {
    std::string architecture;
    std::optional<std::array<std::uint8_t, 16>> uuid; // none without a build-id note
};
struct ExecutableIdentity {
    std::vector<ExecutableSlice> slices;
};
// The identity of an ELF image held in memory (a mapped file): one slice named from its machine (x86_64,
// i386, arm64, armv7; "unknown" for others) whose UUID is the first 16 bytes of the GNU build-id note (zeros
// pad a shorter one). None when the bytes are not a well-formed little-endian ELF image. Never reads
// outside the span.
std::optional<ExecutableIdentity> elfIdentity(std::span<const std::uint8_t> image);
// elfIdentity of the file at executablePath(); none when it cannot be read or is not ELF.
std::optional<ExecutableIdentity> executableIdentity();

namespace sim {
struct ProcessImage {
    // Points executablePath() at another file (a fixture); none goes back to the real executable.
    static void setExecutablePath(std::optional<std::string> path);
};
} // namespace sim

} // namespace plat
