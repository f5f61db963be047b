// The Chapters element: one record per edition, chapter atoms nested below, with displays,
// tracks and processes; and the shift of chapter times to the file's time origin.
#include <cstdint>
#include <cstring>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

// Atoms nested deeper than this are passed over, so that a hostile file cannot exhaust the stack.
constexpr int kMaxChapterDepth = 64;

namespace id {
constexpr uint32_t kEditionEntry = 0x45B9;
constexpr uint32_t kEditionUid = 0x45BC;
constexpr uint32_t kEditionFlagHidden = 0x45BD;
constexpr uint32_t kEditionFlagDefault = 0x45DB;
constexpr uint32_t kEditionFlagOrdered = 0x45DD;
constexpr uint32_t kChapterAtom = 0xB6;
constexpr uint32_t kChapterUid = 0x73C4;
constexpr uint32_t kChapterTimeStart = 0x91;
constexpr uint32_t kChapterTimeEnd = 0x92;
constexpr uint32_t kChapterFlagHidden = 0x98;
constexpr uint32_t kChapterFlagEnabled = 0x4598;
constexpr uint32_t kChapterSegmentUid = 0x6E67;
constexpr uint32_t kChapterTrack = 0x8F;
constexpr uint32_t kChapterTrackNumber = 0x89;
constexpr uint32_t kChapterDisplay = 0x80;
constexpr uint32_t kChapString = 0x85;
constexpr uint32_t kChapLanguage = 0x437C;
constexpr uint32_t kChapCountry = 0x437E;
constexpr uint32_t kChapProcess = 0x6944;
constexpr uint32_t kChapProcessCodecId = 0x6955;
constexpr uint32_t kChapProcessPrivate = 0x450D;
constexpr uint32_t kChapProcessCommand = 0x6911;
constexpr uint32_t kChapProcessTime = 0x6922;
constexpr uint32_t kChapProcessData = 0x6933;
}  // namespace id

uint32_t clamp32(uint64_t v) {
  return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

void setFlag(uint32_t& flags, uint32_t bit, bool on) {
  if (on) {
    flags |= bit;
  } else {
    flags &= ~bit;
  }
}

void freeProcess(MkvInput* in, MkvChapterProcess& p) {
  in->free(in, p.privateData);
  for (uint32_t i = 0; i < p.commandCount; ++i) in->free(in, p.commands[i].data);
  in->free(in, p.commands);
}

void freeChapter(MkvInput* in, MkvChapter& c) {
  in->free(in, c.tracks);
  for (uint32_t i = 0; i < c.displayCount; ++i) in->free(in, c.displays[i].string);
  in->free(in, c.displays);
  for (uint32_t i = 0; i < c.childCount; ++i) freeChapter(in, c.children[i]);
  in->free(in, c.children);
  for (uint32_t i = 0; i < c.processCount; ++i) freeProcess(in, c.processes[i]);
  in->free(in, c.processes);
}

void readDisplay(MatroskaFile* mf, uint64_t size, MkvChapter* chapter) {
  InputBlock text(mf->input);
  MkvChapterDisplay display{};
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    switch (child) {
      case id::kChapString:
        if (text.get() != nullptr) return false;  // the first one counts
        text.reset(readStringBlock(mf, s));
        return true;
      case id::kChapLanguage:
        readLanguage(mf, s, display.language);
        return true;
      case id::kChapCountry:
        readLanguage(mf, s, display.country);
        return true;
      default:
        return false;
    }
  });
  if (text.get() == nullptr) return;  // a display without text is dropped
  MkvChapterDisplay* slot =
      arrayAppend(mf, chapter->displayCount, chapter->displayCapacity, chapter->displays);
  *slot = display;
  slot->string = static_cast<char*>(text.release());
}

void readCommand(MatroskaFile* mf, uint64_t size, MkvChapterProcess& process) {
  InputBlock data(mf->input);
  MkvChapterCommand command{};
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (child == id::kChapProcessTime) {
      command.time = static_cast<uint32_t>(readUInt(mf, s));
      return true;
    }
    if (child == id::kChapProcessData && data.get() == nullptr) {
      command.length = clamp32(s);
      data.reset(readStringBlock(mf, s));
      return true;
    }
    return false;
  });
  if (data.get() == nullptr) return;
  MkvChapterCommand* slot =
      arrayAppend(mf, process.commandCount, process.commandCapacity, process.commands);
  *slot = command;
  slot->data = static_cast<char*>(data.release());
}

void readProcess(MatroskaFile* mf, uint64_t size, MkvChapter* chapter) {
  MkvChapterProcess process{};
  try {
    forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
      switch (child) {
        case id::kChapProcessCodecId:
          process.codecId = static_cast<uint32_t>(readUInt(mf, s));
          return true;
        case id::kChapProcessPrivate:
          if (process.privateData != nullptr) return false;
          process.privateLength = clamp32(s);
          process.privateData = readStringBlock(mf, s);
          return true;
        case id::kChapProcessCommand:
          readCommand(mf, s, process);
          return true;
        default:
          return false;
      }
    });
    if (process.commandCount == 0) {  // a process without commands is dropped
      freeProcess(mf->input, process);
      return;
    }
    arrayTrim(mf, process.commandCapacity, process.commandCount, process.commands);
    MkvChapterProcess* slot =
        arrayAppend(mf, chapter->processCount, chapter->processCapacity, chapter->processes);
    *slot = process;
  } catch (Error&) {
    freeProcess(mf->input, process);
    throw;
  }
}

void readChapterAtom(MatroskaFile* mf, uint64_t size, MkvChapter* parent, int depth) {
  if (depth > kMaxChapterDepth) {
    skipBytes(mf, size);
    return;
  }
  MkvChapter* atom = arrayAppend(mf, parent->childCount, parent->childCapacity, parent->children);
  std::memset(static_cast<void*>(atom), 0, sizeof *atom);
  atom->flags = MKV_CHAPTER_ENABLED;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    switch (child) {
      case id::kChapterUid:
        atom->uid = readUInt(mf, s);
        return true;
      case id::kChapterTimeStart:
        atom->start = readUInt(mf, s);
        return true;
      case id::kChapterTimeEnd:
        atom->end = readUInt(mf, s);
        return true;
      case id::kChapterFlagHidden:
        setFlag(atom->flags, MKV_CHAPTER_HIDDEN, readUInt(mf, s) != 0);
        return true;
      case id::kChapterFlagEnabled:
        setFlag(atom->flags, MKV_CHAPTER_ENABLED, readUInt(mf, s) != 0);
        return true;
      case id::kChapterSegmentUid:
        if (s != 16) return false;
        readBytes(mf, 16, atom->segmentUid);
        return true;
      case id::kChapterTrack:
        forEachChild(mf, s, [&](uint32_t inner, uint64_t innerSize) {
          if (inner != id::kChapterTrackNumber) return false;
          uint64_t number = readUInt(mf, innerSize);
          *arrayAppend(mf, atom->trackCount, atom->trackCapacity, atom->tracks) = number;
          return true;
        });
        return true;
      case id::kChapterDisplay:
        readDisplay(mf, s, atom);
        return true;
      case id::kChapProcess:
        readProcess(mf, s, atom);
        return true;
      case id::kChapterAtom:
        readChapterAtom(mf, s, atom, depth + 1);
        return true;
      default:
        return false;
    }
  });
  arrayTrim(mf, atom->trackCapacity, atom->trackCount, atom->tracks);
  arrayTrim(mf, atom->displayCapacity, atom->displayCount, atom->displays);
  arrayTrim(mf, atom->childCapacity, atom->childCount, atom->children);
}

}  // namespace

void readEditionList(MatroskaFile* mf, uint64_t size) {
  mf->sectionsParsed |= kParsedChapters;
  forEachChild(mf, size, [&](uint32_t child, uint64_t s) {
    if (child != id::kEditionEntry) return false;
    MkvChapter* edition = arrayAppend(mf, mf->chapterCount, mf->chapterCapacity, mf->chapters);
    std::memset(static_cast<void*>(edition), 0, sizeof *edition);
    forEachChild(mf, s, [&](uint32_t inner, uint64_t innerSize) {
      switch (inner) {
        case id::kEditionUid:
          edition->uid = readUInt(mf, innerSize);
          return true;
        case id::kEditionFlagHidden:
          if (readUInt(mf, innerSize) != 0) edition->flags |= MKV_CHAPTER_HIDDEN;
          return true;
        case id::kEditionFlagDefault:
          if (readUInt(mf, innerSize) != 0) edition->flags |= MKV_CHAPTER_DEFAULT;
          return true;
        case id::kEditionFlagOrdered:
          if (readUInt(mf, innerSize) != 0) edition->flags |= MKV_CHAPTER_ORDERED;
          return true;
        case id::kChapterAtom:
          readChapterAtom(mf, innerSize, edition, 1);
          return true;
        default:
          return false;
      }
    });
    return true;
  });
}

void shiftChapterTimes(MkvChapter* chapter, uint64_t base) {
  if (chapter->start != 0) chapter->start -= base;
  if (chapter->end != 0) chapter->end -= base;
  for (uint32_t i = 0; i < chapter->childCount; ++i) shiftChapterTimes(&chapter->children[i], base);
}

void freeChapters(MatroskaFile* mf) {
  for (uint32_t i = 0; i < mf->chapterCount; ++i) freeChapter(mf->input, mf->chapters[i]);
  mf->input->free(mf->input, mf->chapters);
  mf->chapters = nullptr;
  mf->chapterCount = mf->chapterCapacity = 0;
}

}  // namespace mkv
