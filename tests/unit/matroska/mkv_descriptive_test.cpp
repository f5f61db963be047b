// Attachments, chapters and tags: a file made by mkvmerge compared with mkvinfo, and the rules
// for incomplete entries on built files.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "matroska/mkv_file.h"
#include "tests/unit/matroska/mkv_reference.h"
#include "tests/unit/matroska/mkv_test_support.h"

using namespace mkvtest;

namespace {

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

// Flattens the chapter tree in file order with depths (1 = below an edition).
void flatten(const MkvChapter& c, int depth, std::vector<std::pair<const MkvChapter*, int>>& out) {
  for (uint32_t i = 0; i < c.childCount; ++i) {
    out.emplace_back(&c.children[i], depth);
    flatten(c.children[i], depth + 1, out);
  }
}

TEST(DescriptiveSections, MkvmergeFileMatchesMkvinfo) {
  std::string es = mediaPath("es576i_open.m2v");
  if (es.empty() || !haveTool("mkvmerge") || !haveTool("mkvinfo"))
    GTEST_SKIP() << "tools or media missing";
  TempDir dir;
  writeText(
      dir.path + "/chapters.xml",
      "<?xml version=\"1.0\"?><Chapters><EditionEntry><EditionFlagDefault>1</EditionFlagDefault>"
      "<ChapterAtom><ChapterTimeStart>00:00:01.000</ChapterTimeStart>"
      "<ChapterTimeEnd>00:00:03.000</ChapterTimeEnd><ChapterDisplay><ChapterString>One"
      "</ChapterString><ChapterLanguage>eng</ChapterLanguage></ChapterDisplay>"
      "<ChapterAtom><ChapterTimeStart>00:00:01.500</ChapterTimeStart><ChapterDisplay>"
      "<ChapterString>One.a</ChapterString><ChapterLanguage>ger</ChapterLanguage>"
      "</ChapterDisplay></ChapterAtom></ChapterAtom>"
      "<ChapterAtom><ChapterTimeStart>00:00:04.000</ChapterTimeStart><ChapterDisplay>"
      "<ChapterString>Two</ChapterString></ChapterDisplay></ChapterAtom>"
      "</EditionEntry></Chapters>");
  writeText(dir.path + "/tags.xml",
            "<?xml version=\"1.0\"?><Tags><Tag><Targets><TargetTypeValue>50</TargetTypeValue>"
            "</Targets><Simple><Name>TITLE</Name><String>Test clip</String></Simple><Simple>"
            "<Name>ARTIST</Name><String>Someone</String></Simple></Tag></Tags>");
  writeText(dir.path + "/notes.txt", "hello attachment\n");
  std::string file = dir.path + "/described.mkv";
  // The video is delayed by 500 ms, so the first block (the time origin) is at 500 ms.
  runCommand("mkvmerge -q -o '" + file + "' --title 'My title' --chapters '" + dir.path +
             "/chapters.xml' --global-tags '" + dir.path +
             "/tags.xml' --attachment-mime-type text/plain --attachment-name notes.txt "
             "--attachment-description 'Some notes' --attach-file '" +
             dir.path + "/notes.txt' --sync 0:500 '" + es + "'");
  RefFile ref = describeWithMkvinfo(file);
  ASSERT_FALSE(ref.frames.empty()) << "mkvmerge failed";
  MemoryInput in(readFile(file));
  FilePtr mf = openFile(in);
  ASSERT_TRUE(mf);
  EXPECT_STREQ(mkv_SegmentInfo(mf.get())->title, "My title");
  EXPECT_EQ(ref.title, "My title");

  MkvAttachment* attachments;
  uint32_t attachmentCount;
  mkv_Attachments(mf.get(), &attachments, &attachmentCount);
  ASSERT_EQ(attachmentCount, ref.attachments.size());
  ASSERT_EQ(attachmentCount, 1u);
  EXPECT_STREQ(attachments[0].name, ref.attachments[0].name.c_str());
  EXPECT_STREQ(attachments[0].mimeType, ref.attachments[0].mimeType.c_str());
  EXPECT_STREQ(attachments[0].description, ref.attachments[0].description.c_str());
  EXPECT_EQ(attachments[0].uid, ref.attachments[0].uid);
  ASSERT_EQ(attachments[0].length, ref.attachments[0].size);
  EXPECT_EQ(std::string(in.data.begin() + static_cast<long>(attachments[0].position),
                        in.data.begin() +
                            static_cast<long>(attachments[0].position + attachments[0].length)),
            "hello attachment\n");

  MkvChapter* chapters;
  uint32_t chapterCount;
  mkv_Chapters(mf.get(), &chapters, &chapterCount);
  ASSERT_EQ(chapterCount, 1u);
  EXPECT_EQ(ref.editions, 1);
  EXPECT_EQ(chapters[0].uid, ref.editionUid);
  EXPECT_EQ(chapters[0].flags, MKV_CHAPTER_DEFAULT);
  std::vector<std::pair<const MkvChapter*, int>> flat;
  flatten(chapters[0], 1, flat);
  ASSERT_EQ(flat.size(), ref.chapters.size());
  const uint64_t origin = ref.origin();
  EXPECT_EQ(origin, 500000000u);
  for (size_t i = 0; i < flat.size(); ++i) {
    const MkvChapter& c = *flat[i].first;
    const RefChapter& r = ref.chapters[i];
    SCOPED_TRACE("chapter " + std::to_string(i));
    EXPECT_EQ(flat[i].second, r.depth);
    EXPECT_EQ(c.uid, r.uid);
    EXPECT_EQ(c.start, r.start - origin);  // counted from the first block
    EXPECT_EQ(c.end, r.hasEnd ? r.end - origin : 0);
    EXPECT_EQ(c.flags, MKV_CHAPTER_ENABLED);
    ASSERT_EQ(c.displayCount, r.strings.size());
    for (uint32_t d = 0; d < c.displayCount; ++d) {
      EXPECT_STREQ(c.displays[d].string, r.strings[d].c_str());
      EXPECT_STREQ(c.displays[d].language, r.languages[d].c_str());
    }
  }

  MkvTag* tags;
  uint32_t tagCount;
  mkv_Tags(mf.get(), &tags, &tagCount);
  ASSERT_EQ(tagCount, ref.tags.size());
  for (uint32_t t = 0; t < tagCount; ++t) {
    ASSERT_EQ(tags[t].simpleTagCount, ref.tags[t].simpleTags.size());
    for (uint32_t s = 0; s < tags[t].simpleTagCount; ++s) {
      EXPECT_STREQ(tags[t].simpleTags[s].name, ref.tags[t].simpleTags[s].name.c_str());
      EXPECT_STREQ(tags[t].simpleTags[s].value, ref.tags[t].simpleTags[s].value.c_str());
    }
    ASSERT_EQ(tags[t].targetCount, ref.tags[t].targets.size());
    for (uint32_t k = 0; k < tags[t].targetCount; ++k) {
      EXPECT_EQ(ref.tags[t].targets[k].first, "Track UID");
      EXPECT_EQ(tags[t].targets[k].kind, MKV_TARGET_TRACK);
      EXPECT_EQ(tags[t].targets[k].uid, ref.tags[t].targets[k].second);
    }
  }
  EXPECT_STREQ(tags[0].simpleTags[0].value, "Test clip");
}

Bytes describedFile(std::initializer_list<Bytes> sections, uint64_t firstTimecode = 0) {
  return cat({ebmlHeader(),
              segment(cat({infoElement(), tracksElement({trackEntry(1, 1, "V")}), cat(sections),
                           cluster(firstTimecode, {simpleBlock(1, 0, 0x80, payload(2, 0))})}))});
}

TEST(DescriptiveSections, IncompleteEntriesAreLeftOut) {
  Bytes attachments = master(
      0x1941A469,
      {master(0x61A7, {stringElement(0x466E, "nodata")}),
       master(0x61A7, {element(0x465C, Bytes{1, 2, 3})}),
       master(0x61A7, {stringElement(0x466E, std::string(2000, 'f')), element(0x465C, Bytes{4})})});
  Bytes atom = master(
      0xB6,
      {uintElement(0x91, 50000000), uintElement(0x92, 0),
       master(0x80, {stringElement(0x437C, "fre")}),
       master(0x80, {stringElement(0x85, "Shown"), stringElement(0x85, "later"),
                     stringElement(0x437C, "ita")}),
       master(0x6944, {element(0x450D, Bytes{1, 2})}),
       master(0x6944, {uintElement(0x6955, 1), master(0x6911, {uintElement(0x6922, 2)}),
                       master(0x6911, {uintElement(0x6922, 1), element(0x6933, Bytes{'g', 'o'})})}),
       element(0x6E67, payload(15, 1)), master(0x8F, {uintElement(0x89, 3), uintElement(0x89, 4)}),
       master(0xB6, {uintElement(0x98, 1), uintElement(0x4598, 0)})});
  Bytes chapters =
      master(0x1043A770, {master(0x45B9, {uintElement(0x45DB, 1), uintElement(0x45BC, 9), atom})});
  Bytes tags = master(
      0x1254C367,
      {master(0x7373, {master(0x63C0, {uintElement(0x68CA, 50), uintElement(0x63C5, 11),
                                       uintElement(0x63C9, 12)}),
                       master(0x67C8, {stringElement(0x45A3, "only name")}),
                       master(0x67C8, {stringElement(0x45A3, "N"), stringElement(0x4487, "V"),
                                       stringElement(0x447A, "deu"), uintElement(0x4484, 1),
                                       master(0x67C8, {stringElement(0x45A3, "nested")})})})});
  MemoryInput in(describedFile({attachments, chapters, tags}, 10));
  FilePtr mf = openFile(in);
  ASSERT_TRUE(mf);
  MkvAttachment* a;
  uint32_t n;
  mkv_Attachments(mf.get(), &a, &n);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(a[0].name, nullptr);
  EXPECT_EQ(a[0].length, 3u);
  EXPECT_EQ(in.data[a[0].position], 1);
  EXPECT_EQ(std::string(a[1].name), std::string(1023, 'f'));

  MkvChapter* c;
  mkv_Chapters(mf.get(), &c, &n);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(c[0].flags, MKV_CHAPTER_DEFAULT);
  EXPECT_EQ(c[0].uid, 9u);
  ASSERT_EQ(c[0].childCount, 1u);
  const MkvChapter& ch = c[0].children[0];
  EXPECT_EQ(ch.start, 40000000u);  // first timecode 10 ms
  EXPECT_EQ(ch.end, 0u);           // 0 stays 0
  EXPECT_EQ(ch.flags, MKV_CHAPTER_ENABLED);
  ASSERT_EQ(ch.displayCount, 1u);
  EXPECT_STREQ(ch.displays[0].string, "Shown");
  EXPECT_STREQ(ch.displays[0].language, "ita");
  ASSERT_EQ(ch.processCount, 1u);
  EXPECT_EQ(ch.processes[0].codecId, 1u);
  ASSERT_EQ(ch.processes[0].commandCount, 1u);
  EXPECT_STREQ(ch.processes[0].commands[0].data, "go");
  EXPECT_EQ(ch.processes[0].commands[0].length, 2u);
  EXPECT_EQ(ch.segmentUid[0], 0);
  ASSERT_EQ(ch.trackCount, 2u);
  EXPECT_EQ(ch.tracks[1], 4u);
  ASSERT_EQ(ch.childCount, 1u);
  EXPECT_EQ(ch.children[0].flags, MKV_CHAPTER_HIDDEN);

  MkvTag* t;
  mkv_Tags(mf.get(), &t, &n);
  ASSERT_EQ(n, 1u);
  ASSERT_EQ(t[0].targetCount, 2u);
  EXPECT_EQ(t[0].targets[1].kind, MKV_TARGET_EDITION);
  EXPECT_EQ(t[0].targets[1].uid, 12u);
  ASSERT_EQ(t[0].simpleTagCount, 1u);
  EXPECT_STREQ(t[0].simpleTags[0].name, "N");
  EXPECT_STREQ(t[0].simpleTags[0].language, "deu");
  EXPECT_EQ(t[0].simpleTags[0].flags, MKV_TAG_DEFAULT);
}

TEST(DescriptiveSections, DeepChapterNestingIsCutAndTagErrorsKeepWhatWasRead) {
  Bytes atom = master(0xB6, {uintElement(0x73C4, 1000)});
  for (int i = 0; i < 200; ++i) atom = element(0xB6, atom);
  Bytes chapters = master(0x1043A770, {master(0x45B9, {atom})});
  // Tags whose second Tag is cut short by a bad ID: the first stays.
  Bytes good =
      master(0x7373, {master(0x67C8, {stringElement(0x45A3, "A"), stringElement(0x4487, "B")})});
  Bytes tags = element(0x1254C367, cat({good, element(0x7373, Bytes{0x08, 0x81, 0x00})}));
  MemoryInput in(describedFile({chapters, tags}));
  FilePtr mf = openFile(in);
  ASSERT_TRUE(mf);
  MkvChapter* c;
  uint32_t n;
  mkv_Chapters(mf.get(), &c, &n);
  ASSERT_EQ(n, 1u);
  int depth = 0;
  for (const MkvChapter* p = &c[0]; p->childCount > 0; p = &p->children[0]) ++depth;
  EXPECT_EQ(depth, 64);
  MkvTag* t;
  mkv_Tags(mf.get(), &t, &n);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(t[0].simpleTagCount, 1u);
  EXPECT_STREQ(mkv_LastError(mf.get()), "Invalid first byte of EBML ID: 08");
}

}  // namespace
