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

// Slices of an image's ".eh_frame_hdr" table, cut when the image is added (while its memory can still be
// read directly) so that each slice's FDEs lie on few pages and use few CIEs. A crash-time look-up then knows
// beforehand which part of the table, which FDEs and which CIEs it is going to read, and brings them in with
// one system call. Only a hint: the look-up checks the slice against the table it reads, so stale pivots cost
// time, never a wrong answer.
inline constexpr size_t kVZRBinaryImagePivotCount = 64;
inline constexpr size_t kVZRBinaryImagePivotCIECount = 4;
// At most this many pages of FDEs are brought in for one slice, and at most two CIEs.
inline constexpr size_t kVZRBinaryImagePivotFDEPages = 3;
struct VZRBinaryImagePivot {
    int32_t start = 0;    // the function start of the slice's first entry, from the header, as the table keeps it
    uint32_t entry = 0;   // the index of that entry
    int32_t fde = 0;      // the lowest FDE of the slice, from the header
    uint8_t fdePages = 0; // the pages from `fde`'s that hold all of the slice's FDEs (0: not known, or too many)
    uint8_t cies = 0;     // bit i: the slice's FDEs use cie[i] (at most two bits)
};
struct VZRBinaryImagePivots {
    uint32_t count = 0;      // slices (0: none); slice j ends where slice j + 1 starts, the last one at tableCount
    uint32_t tableCount = 0; // the entry count of the table they were cut from
    int32_t cie[kVZRBinaryImagePivotCIECount] = {}; // the CIEs the slices name, from the header
    // Where each CIE's personality routine pointer lies when the CIE names it indirectly (its parse reads it),
    // from the header (0: none).
    int32_t personality[kVZRBinaryImagePivotCIECount] = {};
    VZRBinaryImagePivot pivots[kVZRBinaryImagePivotCount];
};

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
    // 1 + the index of the image's slices among those kept beside the nodes (0: none yet). They live
    // outside the node because the nodes must fit the writable context.
    uint32_t ehFramePivotSlot = 0;
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
// The pivots of the standard ".eh_frame_hdr" table at `ehFrameHdr`, read directly (healthy process, an image
// the loader reports): the table must end by `tableEnd`, and the FDEs and CIEs read lie in [frameStart,
// frameEnd). False (and no pivots) for another layout or a table that does not fit.
bool VZRBinaryImagePivotsFromHeader(uintptr_t ehFrameHdr, uintptr_t tableEnd, uintptr_t frameStart,
                                    uintptr_t frameEnd, VZRBinaryImagePivots* pivots);
// The same for a loaded ELF object as the loader's iteration reports it (`details` from it); only while the
// loader cannot unload it (during the iteration).
bool VZRBinaryImagePivotsFromELF(const dl_phdr_info* info, const VZRBinaryImageDetails& details,
                                 VZRBinaryImagePivots* pivots);
// Crash-time: the slices of a node's image, or null. They are cut on the binary-images queue some time after
// the image is added, and may be rewritten while read (the node reused), so they are a hint only.
const VZRBinaryImagePivots* VZRBinaryImageNodePivots(const VZRBinaryImageNode& node);
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
