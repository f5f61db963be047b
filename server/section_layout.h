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
constexpr uint32_t kRequestOffset = 0x000004;   // ServerRequest: command word
constexpr uint32_t kOperand1Offset = 0x000008;  // INIT: deinterlace; DATA: unit length
constexpr uint32_t kOperand2Offset = 0x00000C;  // INIT: use_top_field (0 or 1)
constexpr uint32_t kOperand3Offset = 0x000010;  // INIT: the constant 3
constexpr uint32_t kUnitOffset = 0x00000C;      // DATA: the unit's bytes begin here
constexpr uint32_t kUnitAreaSize = 0xA00000 - kUnitOffset;  // 10,485,748 bytes

constexpr int32_t REQUEST_END = 0;
constexpr int32_t REQUEST_INIT = 1;
constexpr int32_t REQUEST_DATA = 2;
constexpr int32_t kInitOperand3 = 3;

// Picture header and area (written by the server).
constexpr uint32_t kPictureHeaderOffset = 0xA00000;
constexpr uint32_t kPicHeightOffset = 0xA0000C;
constexpr uint32_t kPicWidthOffset = 0xA00010;
constexpr uint32_t kPicPitchOffset = 0xA00018;
constexpr uint32_t kPictureAreaOffset = 0xA00020;
constexpr uint32_t kPictureAreaSize = 0x330000;  // 2048 bytes pitch x 1632 rows
constexpr uint32_t kMaxPicturePitch = 2048;
constexpr uint32_t kMaxPictureRows = 1632;  // luma rows plus chroma rows

static_assert(kPictureAreaOffset + kPictureAreaSize == kSectionSize, "area ends the section");
static_assert(kMaxPicturePitch * kMaxPictureRows == kPictureAreaSize, "area is 2048 x 1632");

// The command block as the plugin writes it, at view + kRequestOffset.
struct ServerRequest {
  int32_t command;
  int32_t operand1;
  int32_t operand2;
  int32_t operand3;
};

// The picture header as the server writes it, at view + kPictureHeaderOffset.
struct ServerPicture {
  int32_t word0;
  int32_t word1;
  int32_t word2;
  int32_t picHeight;
  int32_t picWidth;
  int32_t word5;
  int32_t picPitch;
  int32_t word7;
};

static_assert(sizeof(ServerPicture) == kPictureAreaOffset - kPictureHeaderOffset, "header size");

}  // namespace server
