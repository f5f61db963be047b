// Several clients on one decoding server: the server serves a number of connections ("slots"),
// each a complete section with its five events, and each client uses one slot at a time.
//
// Slot 0 carries the plain names ("NVSharedMem", "NVExec", ...), so that a host that knows only
// those keeps working. Slot k > 0 carries the names with ".k" appended ("NVSharedMem.1",
// "NVExec.1", ...). The server makes its slots from the highest down to slot 0, so a client that
// finds slot 0 live finds every slot of that server live.
//
// A client claims a slot's section (platform::ClaimSection) before it sends anything; the claim
// ends with the client's process, so a dead client's slot is free again at once. Our clients
// prefer the numbered slots and take slot 0 last, which leaves it to plain hosts as long as they
// can. A plain host does not claim: the server claims slot 0 for it when its REQUEST_INIT comes
// unclaimed, so that no claiming client is sent into the middle of its runs.
//
// Every REQUEST_INIT starts a new session of the slot: the server writes the session's number
// into the section's first word (which the request block leaves alone) before it answers. A client
// reads it after its handshake; when the word changes later, another process has sent its own
// REQUEST_INIT into the slot and taken it over, and the client stops using the slot.
#pragma once

#include <cstdint>
#include <string>

namespace server {

// Slots a server serves unless told otherwise, and the most it can serve.
constexpr int kDefaultClientSlots = 4;
constexpr int kMaxClientSlots = 16;

// Offset of the session word (32-bit, written by the server at each REQUEST_INIT). Its high half
// is kSessionMark, its low half the session's number (1 to 65535, then round again): a client
// watches the word only when it carries the mark, so that a server which uses the word for
// something else of its own is never taken for one that reports sessions.
constexpr uint32_t kSessionOffset = 0x000000;
constexpr uint32_t kSessionMark = 0x4D500000;  // "MP"
constexpr uint32_t kSessionMarkMask = 0xFFFF0000;

// The session word of session number `n` (counted from 1).
constexpr int32_t SessionWord(uint32_t n) {
  return static_cast<int32_t>(kSessionMark | ((n - 1) % 0xFFFF + 1));
}

// The name of a section or event of `slot`: `base` itself for slot 0, "base.k" for slot k.
inline std::string SlotObjectName(const char* base, int slot) {
  std::string name(base);
  if (slot > 0) name += "." + std::to_string(slot);
  return name;
}

}  // namespace server
