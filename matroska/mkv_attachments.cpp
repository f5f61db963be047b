// The Attachments element: one record per attached file that has data.
#include <cstdint>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

namespace id {
constexpr uint32_t kAttachedFile = 0x61A7;
constexpr uint32_t kFileDescription = 0x467E;
constexpr uint32_t kFileName = 0x466E;
constexpr uint32_t kFileMimeType = 0x4660;
constexpr uint32_t kFileUid = 0x46AE;
constexpr uint32_t kFileData = 0x465C;
}  // namespace id

void readAttachedFile(MatroskaFile* mf, uint64_t size) {
  InputBlock description(mf->input);
  InputBlock name(mf->input);
  InputBlock mimeType(mf->input);
  uint64_t uid = 0;
  uint64_t position = 0;
  uint64_t length = 0;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    switch (child) {
      case id::kFileDescription:
        description.reset(readStringBlock(mf, s));
        return true;
      case id::kFileName:
        name.reset(readStringBlock(mf, s));
        return true;
      case id::kFileMimeType:
        mimeType.reset(readStringBlock(mf, s));
        return true;
      case id::kFileUid:
        uid = readUInt(mf, s);
        return true;
      case id::kFileData:
        position = currentPos(mf);  // the data itself is not read
        length = s;
        return false;
      default:
        return false;
    }
  });
  if (position == 0) return;
  MkvAttachment* a = arrayAppend(mf, mf->attachmentCount, mf->attachmentCapacity, mf->attachments);
  a->position = position;
  a->length = length;
  a->uid = uid;
  a->name = static_cast<char*>(name.release());
  a->description = static_cast<char*>(description.release());
  a->mimeType = static_cast<char*>(mimeType.release());
}

}  // namespace

void readAttachmentList(MatroskaFile* mf, uint64_t size) {
  mf->sectionsParsed |= kParsedAttachments;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (child != id::kAttachedFile) return false;
    readAttachedFile(mf, s);
    return true;
  });
}

void freeAttachments(MatroskaFile* mf) {
  MkvInput* in = mf->input;
  for (uint32_t i = 0; i < mf->attachmentCount; ++i) {
    in->free(in, mf->attachments[i].name);
    in->free(in, mf->attachments[i].description);
    in->free(in, mf->attachments[i].mimeType);
  }
  in->free(in, mf->attachments);
  mf->attachments = nullptr;
  mf->attachmentCount = mf->attachmentCapacity = 0;
}

}  // namespace mkv
