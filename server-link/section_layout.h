// Byte layout of the "NVSharedMem" section shared between the plugin and the decoding server, and
// the names of the five events that order its use. All words are 32-bit little-endian signed.
#pragma once

#include <cstdint>

namespace server {

constexpr const char* kSectionName = "NVSharedMem";
constexpr uint32_t kSectionSize = 0xD30020;

// Named events. NVExec, NVDone, NVRequested and NVAvailable reset automatically; NVStopDecoding
// is manual: the plugin sets it, the server resets it once it has dropped its run.
constexpr const char* kExecEventName = "NVExec";
constexpr const char* kDoneEventName = "NVDone";
constexpr const char* kStopEventName = "NVStopDecoding";
constexpr const char* kRequestedEventName = "NVRequested";
constexpr const char* kAvailableEventName = "NVAvailable";

// Request block (written by the plugin).
constexpr uint32_t kRequestOffset = 0x000004;               // command word (REQUEST_*)
constexpr uint32_t kOperand1Offset = 0x000008;              // INIT: deinterlace; DATA: unit length
constexpr uint32_t kOperand2Offset = 0x00000C;              // INIT: use_top_field (0 or 1)
constexpr uint32_t kOperand3Offset = 0x000010;              // INIT: the constant 3
constexpr uint32_t kUnitOffset = 0x00000C;                  // DATA: the unit's bytes begin here
constexpr uint32_t kUnitAreaSize = 0xA00000 - kUnitOffset;  // 10,485,748 bytes

constexpr int32_t REQUEST_END = 0;
constexpr int32_t REQUEST_INIT = 1;
constexpr int32_t REQUEST_DATA = 2;
constexpr int32_t kInitOperand3 = 3;

// Picture header and area (written by the server): eight words. The plugin reads picHeight,
// picWidth and picPitch; words 0-2, 5 and 7 are the server's own, for tools and tests.
constexpr uint32_t kPictureHeaderOffset = 0xA00000;
constexpr uint32_t kPicFullWidthOffset = 0xA00000;     // word 0: decoded width before clipping
constexpr uint32_t kPicFullHeightOffset = 0xA00004;    // word 1: decoded height before clipping
constexpr uint32_t kPicIndexOffset = 0xA00008;         // word 2: the picture's number in its run
constexpr uint32_t kPicHeightOffset = 0xA0000C;        // luma rows; the chroma rows follow them
constexpr uint32_t kPicWidthOffset = 0xA00010;         // luma bytes per row that the plugin copies
constexpr uint32_t kPicFlagsOffset = 0xA00014;         // word 5: the server's picture flags
constexpr uint32_t kPicPitchOffset = 0xA00018;         // bytes from one row to the next
constexpr uint32_t kPicDisplayIndexOffset = 0xA0001C;  // word 7: display place in its run
constexpr uint32_t kPictureAreaOffset = 0xA00020;
constexpr uint32_t kPictureAreaSize = 0x330000;  // 2048 bytes pitch x 1632 rows
constexpr uint32_t kMaxPicturePitch = 2048;
constexpr uint32_t kMaxPictureRows = 1632;  // luma rows plus chroma rows

static_assert(kPictureAreaOffset + kPictureAreaSize == kSectionSize, "area ends the section");
static_assert(kMaxPicturePitch * kMaxPictureRows == kPictureAreaSize, "area is 2048 x 1632");

static_assert(kPictureAreaOffset - kPictureHeaderOffset == 8 * 4, "the header is eight words");

}  // namespace server
