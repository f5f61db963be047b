// The Tags element: targets and simple tags of every Tag.
#include <cstdint>
#include <cstring>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

namespace id {
constexpr uint32_t kTag = 0x7373;
constexpr uint32_t kTargets = 0x63C0;
constexpr uint32_t kTagTrackUid = 0x63C5;
constexpr uint32_t kTagChapterUid = 0x63C4;
constexpr uint32_t kTagAttachmentUid = 0x63C6;
constexpr uint32_t kTagEditionUid = 0x63C9;
constexpr uint32_t kSimpleTag = 0x67C8;
constexpr uint32_t kTagName = 0x45A3;
constexpr uint32_t kTagString = 0x4487;
constexpr uint32_t kTagLanguage = 0x447A;
constexpr uint32_t kTagDefault = 0x4484;
}  // namespace id

void readTargets(MatroskaFile* mf, uint64_t size, MkvTag* tag) {
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    uint32_t kind;
    switch (child) {
      case id::kTagTrackUid:
        kind = MKV_TARGET_TRACK;
        break;
      case id::kTagChapterUid:
        kind = MKV_TARGET_CHAPTER;
        break;
      case id::kTagAttachmentUid:
        kind = MKV_TARGET_ATTACHMENT;
        break;
      case id::kTagEditionUid:
        kind = MKV_TARGET_EDITION;
        break;
      default:
        return false;
    }
    uint64_t uid = readUInt(mf, s);
    MkvTagTarget* target = arrayAppend(mf, tag->targetCount, tag->targetCapacity, tag->targets);
    target->uid = uid;
    target->kind = kind;
    return true;
  });
}

void readSimpleTag(MatroskaFile* mf, uint64_t size, MkvTag* tag) {
  InputBlock name(mf->input);
  InputBlock value(mf->input);
  MkvSimpleTag simple{};
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    switch (child) {
      case id::kTagName:
        if (name.get() != nullptr) return false;
        name.reset(readStringBlock(mf, s));
        return true;
      case id::kTagString:
        if (value.get() != nullptr) return false;
        value.reset(readStringBlock(mf, s));
        return true;
      case id::kTagLanguage:
        readLanguage(mf, s, simple.language);
        return true;
      case id::kTagDefault:
        if (readUInt(mf, s) != 0) simple.flags |= MKV_TAG_DEFAULT;
        return true;
      default:
        return false;  // nested SimpleTags included
    }
  });
  if (name.get() == nullptr || value.get() == nullptr) return;
  MkvSimpleTag* slot =
      arrayAppend(mf, tag->simpleTagCount, tag->simpleTagCapacity, tag->simpleTags);
  *slot = simple;
  slot->name = static_cast<char*>(name.release());
  slot->value = static_cast<char*>(value.release());
}

}  // namespace

void readTagList(MatroskaFile* mf, uint64_t size) {
  mf->sectionsParsed |= kParsedTags;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (child != id::kTag) return false;
    MkvTag* tag = arrayAppend(mf, mf->tagCount, mf->tagCapacity, mf->tags);
    std::memset(static_cast<void*>(tag), 0, sizeof *tag);
    forEachChild(mf, s, [&](uint32_t inner, uint64_t innerSize) {
      if (inner == id::kTargets) {
        readTargets(mf, innerSize, tag);
        return true;
      }
      if (inner == id::kSimpleTag) {
        readSimpleTag(mf, innerSize, tag);
        return true;
      }
      return false;
    });
    return true;
  });
}

void freeTags(MatroskaFile* mf) {
  MkvInput* in = mf->input;
  for (uint32_t i = 0; i < mf->tagCount; ++i) {
    MkvTag& tag = mf->tags[i];
    for (uint32_t k = 0; k < tag.simpleTagCount; ++k) {
      in->free(in, tag.simpleTags[k].name);
      in->free(in, tag.simpleTags[k].value);
    }
    in->free(in, tag.simpleTags);
    in->free(in, tag.targets);
  }
  in->free(in, mf->tags);
  mf->tags = nullptr;
  mf->tagCount = mf->tagCapacity = 0;
}

}  // namespace mkv
