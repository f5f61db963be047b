// EBML primitives, the read cache, the message formatter, fixed point and growable arrays.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "matroska/mkv_file.h"
#include "tests/unit/matroska/mkv_test_support.h"

using namespace mkvtest;

namespace {

// A bare handle over bytes, for the primitives.
struct Reader {
  MemoryInput in;
  MatroskaFile mf;
  explicit Reader(Bytes bytes) : in(std::move(bytes)) {
    std::memset(static_cast<void*>(&mf), 0, sizeof mf);
    mf.input = in.input();
  }
  // The message raised by f, or "" when it returns normally.
  template <class F>
  std::string error(F f) {
    try {
      f();
    } catch (mkv::Error&) {
      EXPECT_TRUE(mf.flags & MKV_ERROR_RAISED);
      return mf.errorMessage;
    }
    return "";
  }
};

std::string format(const char* f, ...) {
  char out[128];
  va_list args;
  va_start(args, f);
  mkv::formatMessage(out, sizeof out, f, args);
  va_end(args);
  return out;
}

TEST(EbmlReader, ElementIdsKeepTheirMarkerAndRejectLongForms) {
  Reader r({0x1A, 0x45, 0xDF, 0xA3, 0x42, 0x86, 0xA3, 0x0F});
  EXPECT_EQ(mkv::readElementId(&r.mf), 0x1A45DFA3u);
  EXPECT_EQ(mkv::readElementId(&r.mf), 0x4286u);
  EXPECT_EQ(mkv::readElementId(&r.mf), 0xA3u);
  EXPECT_EQ(r.error([&] { mkv::readElementId(&r.mf); }), "Invalid first byte of EBML ID: 0F");
  Reader end({});
  EXPECT_EQ(mkv::readElementId(&end.mf), kEndOfFileId);
  EXPECT_EQ(end.mf.flags & MKV_ERROR_RAISED, 0u);
  Reader cut({0x1A, 0x45});
  EXPECT_EQ(cut.error([&] { mkv::readElementId(&cut.mf); }), "Got EOF while reading EBML ID");
}

TEST(EbmlReader, VariableLengthIntegersAndSizes) {
  Reader r({0x81, 0x40, 0x02, 0x01, 1, 2, 3, 4, 5, 6, 7, 0x00});
  int extra = -1;
  EXPECT_EQ(mkv::readVarUInt(&r.mf, &extra), 1u);
  EXPECT_EQ(extra, 0);
  EXPECT_EQ(mkv::readVarUInt(&r.mf, &extra), 2u);
  EXPECT_EQ(extra, 1);
  EXPECT_EQ(mkv::readVarUInt(&r.mf, &extra), 0x01020304050607u);
  EXPECT_EQ(extra, 7);
  EXPECT_EQ(r.error([&] { mkv::readVarUInt(&r.mf); }), "Invalid first byte of EBML integer: 0");
  extra = 5;
  EXPECT_EQ(mkv::readVarUInt(&r.mf, &extra), 0u);  // end of file: 0, extra untouched
  EXPECT_EQ(extra, 5);

  for (Bytes unknown : {Bytes{0xFF}, Bytes{0x7F, 0xFF}, cat({Bytes{0x01}, Bytes(7, 0xFF)})}) {
    Reader u(unknown);
    EXPECT_EQ(u.error([&] { mkv::readElementSize(&u.mf); }),
              "Unspecified element size is not supported here.");
  }
  Reader s({0xFE, 0x1F, 0xFF, 0xFF, 0xFE});
  EXPECT_EQ(mkv::readElementSize(&s.mf), 126u);
  EXPECT_EQ(mkv::readElementSize(&s.mf), 0x0FFFFFFEu);
  Reader cut({0x41});
  EXPECT_EQ(cut.error([&] { mkv::readVarUInt(&cut.mf); }),
            "Got EOF while reading EBML unsigned integer");
}

TEST(EbmlReader, SignedIntegersUseTheLengthBias) {
  Reader r({0x80, 0xBF, 0xFF, 0x40, 0x00, 0x5F, 0xFF});
  EXPECT_EQ(mkv::readVarSInt(&r.mf), -63);
  EXPECT_EQ(mkv::readVarSInt(&r.mf), 0);
  EXPECT_EQ(mkv::readVarSInt(&r.mf), 64);
  EXPECT_EQ(mkv::readVarSInt(&r.mf), -8191);
  EXPECT_EQ(mkv::readVarSInt(&r.mf), 0);
}

TEST(EbmlReader, UnsignedIntegersAndFloats) {
  Reader r({0x12, 0x34, 0x56});
  EXPECT_EQ(mkv::readUInt(&r.mf, 0), 0u);
  EXPECT_EQ(mkv::currentPos(&r.mf), 0u);
  EXPECT_EQ(mkv::readUInt(&r.mf, 2), 0x1234u);
  EXPECT_EQ(r.error([&] { mkv::readUInt(&r.mf, 2); }),
            "Got EOF while reading EBML unsigned integer");
  EXPECT_EQ(r.error([&] { mkv::readUInt(&r.mf, 9); }), "Unsupported integer size in readUInt: 9");

  auto fixedOf = [](const Bytes& element) {
    Reader f(Bytes(element.end() - (element.size() == 6 ? 4 : 8), element.end()));
    return mkv::readFloat(&f.mf, f.in.data.size());
  };
  const int64_t one = int64_t{1} << 32;
  EXPECT_EQ(fixedOf(float32Element(0xB5, 1.0f)), one);
  EXPECT_EQ(fixedOf(float32Element(0xB5, -1.0f)), -one);
  EXPECT_EQ(fixedOf(floatElement(0xB5, 8000.0)), 8000 * one);
  EXPECT_EQ(fixedOf(floatElement(0xB5, 2147483648.0)), INT64_MAX);
  EXPECT_EQ(fixedOf(floatElement(0xB5, -2147483648.0)), INT64_MIN);
  EXPECT_EQ(fixedOf(floatElement(0xB5, -0.5)), -(one / 2));
  EXPECT_EQ(fixedOf(floatElement(0xB5, 1234.5)), 1234 * one + one / 2);
  EXPECT_EQ(fixedOf(floatElement(0xB5, 0.0)), 0);
  EXPECT_EQ(fixedOf(floatElement(0xB5, 1e-300)), 0);
  EXPECT_EQ(fixedOf(floatElement(0xB5, -1e-300)), -1);  // floor of a tiny negative value
  Reader big(Bytes(10, 0));
  EXPECT_EQ(big.error([&] { mkv::readFloat(&big.mf, 10); }), "Invalid float size in readFloat: 10");
}

TEST(EbmlReader, StringsAndLanguagesSkipWhatDoesNotFit) {
  Reader r(cat({bytesOf(std::string(40, 'a')), bytesOf("abc"), bytesOf("fr-CA!")}));
  char text[32];
  mkv::readString(&r.mf, 1, 5, text);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(mkv::currentPos(&r.mf), 5u);
  mkv::seekTo(&r.mf, 0);
  mkv::readString(&r.mf, 32, 40, text);
  EXPECT_EQ(std::string(text), std::string(31, 'a'));
  EXPECT_EQ(mkv::currentPos(&r.mf), 40u);
  char lang[4];
  mkv::readLanguage(&r.mf, 3, lang);
  EXPECT_STREQ(lang, "abc");
  mkv::readLanguage(&r.mf, 6, lang);
  EXPECT_STREQ(lang, "fr-");
  EXPECT_EQ(mkv::currentPos(&r.mf), 49u);
  EXPECT_EQ(r.error([&] { mkv::readString(&r.mf, 0, 1, text); }),
            "Invalid buffer size in readString: 0");
}

TEST(EbmlReader, CacheServesNearbySeeksAndReadsLargeDataDirectly) {
  Bytes data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  Reader r(data);
  EXPECT_EQ(mkv::readByte(&r.mf), 0);
  EXPECT_EQ(r.in.reads, 1);
  mkv::seekTo(&r.mf, 1000);
  EXPECT_EQ(mkv::readByte(&r.mf), static_cast<uint8_t>(1000 * 7));
  mkv::seekTo(&r.mf, 3);
  EXPECT_EQ(mkv::readByte(&r.mf), static_cast<uint8_t>(3 * 7));
  EXPECT_EQ(r.in.reads, 1);  // both inside the cached kilobyte
  mkv::seekTo(&r.mf, 1024);  // cacheStart + cacheFill: just outside
  EXPECT_EQ(r.mf.cacheFill, 0);
  Bytes big(3000);
  mkv::seekTo(&r.mf, 10);
  mkv::readBytes(&r.mf, 3000, big.data());
  EXPECT_TRUE(std::equal(big.begin(), big.end(), data.begin() + 10));
  EXPECT_EQ(r.in.reads, 2);  // one refill, then one direct read of the rest
  EXPECT_EQ(mkv::currentPos(&r.mf), 3010u);
  mkv::skipBytes(&r.mf, 1000);
  EXPECT_EQ(mkv::readByte(&r.mf), static_cast<uint8_t>(4010 * 7));

  Reader shortFile({1, 2, 3});
  mkv::readByte(&shortFile.mf);
  mkv::seekTo(&shortFile.mf, 0);
  uint8_t out[10];
  EXPECT_EQ(shortFile.error([&] { mkv::readBytes(&shortFile.mf, 10, out); }),
            "Short read: got 0 bytes of 7");

  Reader failing(data);
  failing.in.failReadsFrom = 0;
  EXPECT_EQ(failing.error([&] { mkv::readByte(&failing.mf); }),
            "I/O Error: simulated read failure");
}

TEST(EbmlReader, PositionsThatWouldWrapAreErrors) {
  Reader r({0x81});
  mkv::seekTo(&r.mf, UINT64_MAX - 10);
  EXPECT_NE(r.error([&] { mkv::skipBytes(&r.mf, 100); }), "");
  EXPECT_NE(r.error([&] { mkv::endOf(&r.mf, 11); }), "");
  EXPECT_EQ(r.error([&] { mkv::endOf(&r.mf, 10); }), "");
}

TEST(MessageFormatter, BoundedPrintfSubset) {
  EXPECT_EQ(format("%02X", 5), "05");
  EXPECT_EQ(format("%llu", static_cast<unsigned long long>(1) << 40), "1099511627776");
  EXPECT_EQ(format("[%5d]", -12), "[-  12]");
  EXPECT_EQ(format("[%05d]", -12), "[-0012]");
  EXPECT_EQ(format("[%-4d]", 7), "[7   ]");
  EXPECT_EQ(format("a%%b"), "ab");
  EXPECT_EQ(format("%x/%X/%u/%d", 0xABCu, 0xABCu, 4000000000u, -2147483647 - 1),
            "abc/ABC/4000000000/-2147483648");
  EXPECT_EQ(format("%lld", -(static_cast<long long>(1) << 40)), "-1099511627776");
  EXPECT_EQ(format("%lllu|%s", "text"), "|text");  // three l: nothing printed or consumed
  EXPECT_EQ(format("%.2d", 5), "2d");              // precision is not supported
  EXPECT_EQ(format("%s=%d", "n", 0), "n=0");
  char small[4];
  mkv::formatText(small, sizeof small, "sixsix");
  EXPECT_STREQ(small, "six");
  char one[1] = {'x'};
  mkv::formatText(one, 1, "abc");
  EXPECT_EQ(one[0], 0);
  char copy[3];
  mkv::copyText("hello", sizeof copy, copy);
  EXPECT_STREQ(copy, "he");
}

TEST(FixedPoint, ProductOfMagnitudes) {
  const int64_t one = int64_t{1} << 32;
  EXPECT_EQ(mkv::fixedMul(-one, 5 * one), static_cast<uint64_t>(5 * one));
  EXPECT_EQ(mkv::fixedMul(one, 1000000), 1000000u);
  EXPECT_EQ(mkv::fixedMul(one / 2, 3), 1u);
  EXPECT_EQ(mkv::fixedMul(one + one / 2, 40000000), 60000000u);
  EXPECT_EQ(mkv::fixedToInt(8000 * one + 5), 8000);
}

TEST(GrowableArrays, DoubleAndTrim) {
  Reader r({});
  uint32_t count = 0, capacity = 0;
  uint64_t* array = nullptr;
  std::vector<uint32_t> capacities;
  for (int i = 0; i < 5; ++i) {
    *mkv::arrayAppend(&r.mf, count, capacity, array) = static_cast<uint64_t>(i);
    capacities.push_back(capacity);
  }
  EXPECT_EQ(capacities, (std::vector<uint32_t>{1, 2, 4, 4, 8}));
  mkv::arrayTrim(&r.mf, capacity, count, array);
  EXPECT_EQ(capacity, 5u);
  EXPECT_EQ(array[4], 4u);
  r.in.allocBudget = 0;
  EXPECT_EQ(r.error([&] { mkv::arrayAppend(&r.mf, count, capacity, array); }),
            "Out of memory in ArrayAlloc");
  EXPECT_EQ(count, 5u);
  r.in.input()->free(r.in.input(), array);
  EXPECT_TRUE(r.in.live.empty());
}

}  // namespace
