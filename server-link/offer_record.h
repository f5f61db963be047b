// What a client offers with its REQUEST_INIT, and the server's acceptance: a tagged, checked
// record of three words (tag, version, check) at a fixed place after the set-up's operands. The
// client writes the offer; a server that takes it overwrites it with its acceptance before it
// answers the REQUEST_INIT. A server that does not know the record leaves it alone, so the client
// reads back its own offer, not an acceptance. The server clears the offer once read, so a later
// client that writes none is never taken for one that offered; stale bytes that happen to hold a
// tag fail the check.
#pragma once

#include <cstdint>
#include <cstring>

namespace server {

struct OfferRecord {
  uint32_t offset;    // where the record lies in the section
  int32_t offerTag;   // the client's offer
  int32_t acceptTag;  // the server's acceptance
  int32_t version;
  uint32_t mix;  // mixes the version into the check word

  int32_t Check(int32_t tag, int32_t v) const {
    return static_cast<int32_t>(~(static_cast<uint32_t>(tag) ^ (static_cast<uint32_t>(v) * mix)));
  }
  void Put(unsigned char* view, int32_t tag) const {
    const int32_t words[3] = {tag, version, Check(tag, version)};
    std::memcpy(view + offset, words, sizeof words);
  }
  // Whether the record holds `tag` (with this version and a valid check).
  bool Has(const unsigned char* view, int32_t tag) const {
    int32_t words[3];
    std::memcpy(words, view + offset, sizeof words);
    return words[0] == tag && words[1] == version && words[2] == Check(tag, words[1]);
  }

  // Client side, with its REQUEST_INIT.
  void Offer(unsigned char* view) const { Put(view, offerTag); }
  // Server side, at each REQUEST_INIT: whether the client offered; the record is cleared either
  // way.
  bool Take(unsigned char* view) const {
    const bool offered = Has(view, offerTag);
    const int32_t words[3] = {0, 0, 0};
    std::memcpy(view + offset, words, sizeof words);
    return offered;
  }
  // Server side, before it answers the REQUEST_INIT.
  void Accept(unsigned char* view) const { Put(view, acceptTag); }
  // Client side, once the REQUEST_INIT is answered.
  bool Accepted(const unsigned char* view) const { return Has(view, acceptTag); }
};

}  // namespace server
