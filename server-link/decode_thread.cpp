// The decode thread of a clip: the start handshake with the server, then one AVCDecode run per
// restart request of the clip.
#include <cstddef>
#include <cstring>

#include "platform/event.h"
#include "platform/thread.h"
#include "reader/avc_decoder.h"
#include "server-link/bulk_handover.h"
#include "server-link/chroma_layout.h"
#include "server-link/clip_size.h"
#include "server-link/link.h"
#include "server-link/run_record.h"
#include "server-link/section_layout.h"

// The thread's argument is the address of the decoder's adjacent fields (requestEvent,
// threadOwner).
static_assert(offsetof(CAVCDecoder, threadOwner) ==
                  offsetof(CAVCDecoder, requestEvent) + sizeof(platform::Handle),
              "requestEvent and threadOwner form the thread's argument pair");

void CAVCDecoder::StartThreadFunc() {
  readyEvent = platform::CreateEvent(nullptr, true);
  abortEvent = platform::CreateEvent(nullptr, false);
  quitEvent = platform::CreateEvent(nullptr, false);
  startedEvent = platform::CreateEvent(nullptr, false);
  requestEvent = platform::CreateEvent(nullptr, true);
  threadOwner = this;
  decodeThread = platform::StartThread(&CAVCDecoder::ThreadFunc, &requestEvent, true);
}

unsigned CAVCDecoder::ThreadFunc(void* pair) {
  platform::Handle request;
  CAVCDecoder* owner;
  std::memcpy(&request, pair, sizeof request);
  std::memcpy(&owner, static_cast<unsigned char*>(pair) + sizeof(platform::Handle), sizeof owner);

  server::Link& link = *owner->link;
  owner->serverRequest = link.View() + server::kRequestOffset;
  // The clip's size travels after the handshake's operands, so that a server that knows it
  // delivers pictures of another size (a size change inside the stream) at the clip's size.
  server::PutClipSize(link.View(), owner->width, owner->height);
  // A 4:2:2 clip asks for 4:2:2 pictures; every picture then says whether it is one.
  server::PutChromaRecord(link.View(), owner->yuy2 ? server::kChroma422 : server::kChroma420);
  // The clip may be destroyed while a silent server keeps the handshake waiting: quitEvent ends
  // that wait too, and the thread then leaves without touching anything else.
  if (link.StartHandshake(owner->serverRequest, owner->deinterlace, owner->use_top_field != 0,
                          owner->quitEvent) == server::kInterrupted) {
    return 0;
  }
  // requestEvent is cleared before the clip learns that the thread is ready: cleared afterwards, it
  // could wipe out the clip's first request.
  platform::ResetEvent(request);
  platform::SetEvent(owner->readyEvent);

  for (;;) {
    int woken = platform::WaitForEither(owner->quitEvent, request, platform::kInfinite);
    if (woken != platform::kWaitObject1) return 0;
    owner->AVCDecode();
    platform::ResetEvent(request);
  }
}

void CAVCDecoder::AVCDecode() {
  // A target outside the picture table is held to its first or last picture.
  int32_t target = targetPicture;
  if (target >= pictureCount) target = pictureCount - 1;
  if (target < 0) target = 0;

  // The GOP whose pictures include the target; the last one when the target lies beyond the
  // last GOP's first picture. A GOP without pictures shares its successor's first picture and is
  // never chosen.
  int32_t gop = gopCount > 0 ? gopCount - 1 : 0;
  for (int32_t i = 0; i < gopCount - 1; ++i) {
    uint32_t first = static_cast<uint32_t>(gopTable[i]->firstPicture);
    uint32_t next = static_cast<uint32_t>(gopTable[i + 1]->firstPicture);
    if (first <= static_cast<uint32_t>(target) && static_cast<uint32_t>(target) < next) {
      gop = i;
      break;
    }
  }
  // Leading pictures need the previous GOP; with deinterlacing the run also starts one GOP
  // earlier.
  if (gop > 0 && (pictureTable[target].leading || deinterlace > 0)) --gop;

  decodeCount = gopCount > 0 ? target - gopTable[gop]->firstPicture + 1 : 1;
  runFailedGop = -1;
  if (gopCount <= 0) {
    server::PutRunRecord(link->View(), decodeCount - 1);
    platform::SetEvent(startedEvent);
    link->SendEnd(serverRequest, abortEvent);
    return;
  }

  AlignStream(gopTable[gop]->position);
  int more = GetAnnexbNALU();
  if (streamType != 2) {
    // A decode can only start at a sequence header: a position that holds none (a project that
    // does not fit its video) would give some other stretch of pictures. The clip learns of it
    // before it takes a picture, and nothing is sent.
    more = SkipToSequenceHeader(more);
    if (more <= 0) {
      runFailedGop = gop;
      platform::SetEvent(startedEvent);
      return;
    }
  }
  // Written before the run's first unit: the server learns which frames will be discarded.
  server::PutRunRecord(link->View(), decodeCount - 1);
  platform::SetEvent(startedEvent);
  // With bulk hand-over a batch carries whole pictures: it goes out before the unit that begins
  // the next picture (its header, or a sequence or GOP header before it) once it holds a slice
  // and kMinBatchBytes, so that small pictures travel several to an exchange.
  link->DropQueuedUnits();
  bool sliceQueued = false;
  for (; more > 0; more = GetAnnexbNALU()) {
    const uint8_t code = unit.length >= 4 ? unit.data[3] : 0xFF;
    const bool beginsPicture = code == 0x00 || code == 0xB3 || code == 0xB8 || code == 0xB7;
    const bool sendBefore =
        beginsPicture && sliceQueued && link->QueuedBytes() >= server::kMinBatchBytes;
    if (link->QueueUnit(serverRequest, unit.data, unit.length, sendBefore, abortEvent) !=
        server::kAnswered) {
      return;  // aborted (no REQUEST_END) or the server has gone
    }
    if (sendBefore) sliceQueued = false;
    if (code >= 0x01 && code <= 0xAF) sliceQueued = true;
  }
  if (link->SendQueuedUnits(serverRequest, abortEvent) != server::kAnswered) return;
  link->SendEnd(serverRequest, abortEvent);
}

int CAVCDecoder::SkipToSequenceHeader(int more) {
  // A few units (a sequence end, user data) may stand before the sequence header; a picture never.
  constexpr int kUnitsBeforeSequenceHeader = 8;
  for (int skipped = 0; more > 0; ++skipped, more = GetAnnexbNALU()) {
    const bool sequenceHeader = unit.length >= 4 && unit.data[3] == 0xB3;
    if (sequenceHeader) return more;
    const bool picture = unit.length >= 4 && unit.data[3] == 0x00;
    if (picture || skipped + 1 >= kUnitsBeforeSequenceHeader) return 0;
  }
  return more;
}
