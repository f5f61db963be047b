// Construction and destruction of the decoder core.
#include "reader/avc_decoder.h"

#include <cstring>

#include "platform/handle.h"

CAVCDecoder::CAVCDecoder()
    : link(nullptr),
      serverRequest(nullptr),
      startedEvent(nullptr),
      readyEvent(nullptr),
      abortEvent(nullptr),
      quitEvent(nullptr),
      decodeThread(nullptr),
      requestEvent(nullptr),
      threadOwner(nullptr),
      videoPath(nullptr),
      decodeCount(0),
      width(0),
      height(0),
      chromaFormat(420),
      clipTop(0),
      clipBottom(0),
      clipLeft(0),
      clipRight(0),
      i420(0),
      deinterlace(0),
      use_top_field(0),
      yuy2(0),
      mkvFile(nullptr),
      mkvTrack(0),
      gopTable(nullptr),
      gopCapacity(0),
      pictureTable(nullptr),
      pictureCapacity(0),
      fieldOrder(0),
      unit{0, nullptr},
      currentUnit(nullptr),
      resync(0),
      readPtr(nullptr),
      readCount(0),
      projectFile(nullptr),
      videoFile(nullptr),
      tsRemaining(0),
      streamType(0),
      packetSize(0),
      videoPid(0),
      fpsNumerator(0),
      fpsDenominator(0),
      pictureCount(0),
      gopCount(0),
      targetPicture(0),
      leadingBCount(0),
      endOfData(0),
      lumFilterOn(0),
      videoSize(0) {
  std::memset(lineBuffer, 0, sizeof lineBuffer);
  loadDetail[0] = '\0';
  std::memset(&mkvInput, 0, sizeof mkvInput);
  std::memset(readBuffer, 0, sizeof readBuffer);
  std::memset(unitBuffer, 0, sizeof unitBuffer);
  readPtr = readBuffer;
  unit.data = unitBuffer;
  // The identity table, so that a filter applied before any LUMFILT line changes nothing.
  for (int i = 0; i < 256; ++i) lumTable[i] = static_cast<unsigned char>(i);
}

CAVCDecoder::~CAVCDecoder() {
  platform::CloseHandle(decodeThread);
  platform::CloseHandle(startedEvent);
  platform::CloseHandle(readyEvent);
  platform::CloseHandle(abortEvent);
  platform::CloseHandle(quitEvent);
  platform::CloseHandle(requestEvent);
  // The owner closes the decoder before destroying it; this only catches what a caller left
  // loaded, so that no file or table outlives the object.
  Close();
}
