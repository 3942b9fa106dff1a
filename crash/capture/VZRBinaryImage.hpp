#pragma once
// The binary image list: for every loaded image, what crash-time code needs without asking the loader (a
// fixed table of nodes in the writable context, searched by address without locks), and the record file
// "binary_images.vzrrecord", one "load" or "unload" line per event, from which the next launch symbolicates.
//
// Images here are ELF: the loader has no add or remove callbacks, so an initial scan of the loaded objects
// adds every image, and later loads and unloads are found by rescans on the binary-images queue, diffed by
// base address. The Mach-O reading is kept for headers in memory (fixtures only on this system).

#include "kit_host/VZRMachO.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct VZRFile;
struct dl_phdr_info;

inline constexpr size_t kVZRBinaryImageNodeCount = 512;

// One tracked image. A node whose load address is 0 is free. The section addresses are kept as offsets
// from the load address (0 = absent) so that the 512 nodes fit the writable context beside the handler
// stacks; the accessors below give addresses.
struct VZRBinaryImageNode {
    uintptr_t loadAddress = 0;
    uint64_t textSize = 0;
    uint32_t ehFrameOffset = 0;
    uint32_t ehFrameHdrOffset = 0;
    uint32_t unwindInfoOffset = 0;
    uint32_t crashInfoOffset = 0;
    // The entry count of a standard ".eh_frame_hdr" table, read at load time so that a crash-time look-up
    // gets the header with its first search read (0: another layout, or none).
    uint32_t ehFrameHdrCount = 0;
};

inline uintptr_t VZRBinaryImageNodeAddress(const VZRBinaryImageNode& node, uint32_t offset) {
    return offset == 0 ? 0 : node.loadAddress + offset;
}
inline uintptr_t VZRBinaryImageNodeEhFrame(const VZRBinaryImageNode& n) { return VZRBinaryImageNodeAddress(n, n.ehFrameOffset); }
inline uintptr_t VZRBinaryImageNodeEhFrameHdr(const VZRBinaryImageNode& n) { return VZRBinaryImageNodeAddress(n, n.ehFrameHdrOffset); }
inline uintptr_t VZRBinaryImageNodeUnwindInfo(const VZRBinaryImageNode& n) { return VZRBinaryImageNodeAddress(n, n.unwindInfoOffset); }
inline uintptr_t VZRBinaryImageNodeCrashInfo(const VZRBinaryImageNode& n) { return VZRBinaryImageNodeAddress(n, n.crashInfoOffset); }

// What is computed once per image event.
struct VZRBinaryImageDetails {
    char uuid[33] = {};             // 32 lower-case hex digits; all zeros when the image has none
    bool encrypted = false;
    VZRMachOVersion minimumOSVersion;
    VZRMachOVersion sdkVersion;
    uint64_t textSize = 0;
    uintptr_t unwindInfo = 0;
    uintptr_t ehFrame = 0;
    uintptr_t ehFrameHdr = 0;
    uint32_t ehFrameHdrCount = 0; // see VZRBinaryImageNode
    uintptr_t crashInfo = 0;
    uintptr_t loadAddress = 0;
    intptr_t slide = 0;
    VZRMachOSliceInfo slice;
    const char* architecture = "unknown";
    std::string path;               // healthy-process use only (the record queue)
};

// Details of a loaded ELF object as the loader's iteration reports it; false without a program header.
bool VZRBinaryImageDetailsFromELF(const dl_phdr_info* info, VZRBinaryImageDetails* details);
// Details of a Mach-O header in memory (64- or 32-bit) loaded with `slide`; false when it is not one.
bool VZRBinaryImageDetailsFromMachOHeader(const void* header, intptr_t slide, VZRBinaryImageDetails* details);

// The set-up task of the crash-time context: clears the nodes, resets the record file, scans the loaded
// images, and queues the file's closing behind their records.
void VZRBinaryImageInit();
// Looks for loads and unloads since the last scan (on the binary-images queue); also run every 5 seconds.
void VZRBinaryImageRescan();
// The loader callbacks' work for one image: tracks the node and queues its record line.
void VZRBinaryImageAdded(const VZRBinaryImageDetails& details);
void VZRBinaryImageRemoved(const VZRBinaryImageDetails& details);

// Crash-time: copies the first node whose [load address, load address + text size) holds `address`.
bool VZRBinaryImageSafeFindImageForAddress(uintptr_t address, VZRBinaryImageNode* node);
// The loaded image whose uuid equals `uuid` (an all-zero uuid never matches).
bool VZRBinaryImageFindImageForUUID(const char* uuid, VZRBinaryImageDetails* details);
// The "executable" section of the metadata for the main executable.
bool VZRBinaryImageRecordExecutable(VZRFile* file);

// Tests: the loader's list of images, replacing the real scan; an empty function restores it.
using VZRBinaryImageLoaderScan = std::function<std::vector<VZRBinaryImageDetails>()>;
void VZRBinaryImageSetLoaderForTesting(VZRBinaryImageLoaderScan scan);
