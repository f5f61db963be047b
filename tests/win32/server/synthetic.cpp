#include "tests/win32/server/synthetic.h"

namespace synthetic {

namespace {

void StartCode(std::string* out, unsigned char code) {
  out->push_back('\0');
  out->push_back('\0');
  out->push_back('\1');
  out->push_back(static_cast<char>(code));
}

}  // namespace

std::vector<CodedPicture> GopPictures(bool closed) {
  if (closed) {
    return {{kTypeI, 0}, {kTypeP, 3}, {kTypeB, 1}, {kTypeB, 2}, {kTypeP, 6},  {kTypeB, 4},
            {kTypeB, 5}, {kTypeP, 9}, {kTypeB, 7}, {kTypeB, 8}, {kTypeP, 11}, {kTypeB, 10}};
  }
  return {{kTypeI, 2}, {kTypeB, 0}, {kTypeB, 1}, {kTypeP, 5},  {kTypeB, 3}, {kTypeB, 4},
          {kTypeP, 8}, {kTypeB, 6}, {kTypeB, 7}, {kTypeP, 11}, {kTypeB, 9}, {kTypeB, 10}};
}

Stream MakeStream(int gops, int width, int height) {
  Stream s;
  int first = 0;
  for (int g = 0; g < gops; ++g) {
    s.gopOffsets.push_back(s.bytes.size());
    StartCode(&s.bytes, 0xB3);
    s.bytes.push_back(static_cast<char>((width >> 4) & 0xFF));
    s.bytes.push_back(static_cast<char>(((width & 0x0F) << 4) | ((height >> 8) & 0x0F)));
    s.bytes.push_back(static_cast<char>(height & 0xFF));
    s.bytes.append("\x13\xFF\xFF\xE0\x18", 5);
    StartCode(&s.bytes, 0xB8);
    s.bytes.append(g == 0 ? "\x08\x00\x08\x40" : "\x08\x00\x08\x00", 4);
    for (const CodedPicture& p : GopPictures(g == 0)) {
      StartCode(&s.bytes, 0x00);
      s.bytes.push_back(static_cast<char>(p.temporalReference >> 2));
      s.bytes.push_back(static_cast<char>(((p.temporalReference & 3) << 6) | (p.type << 3)));
      s.bytes.append("\xFF\xF8", 2);
      StartCode(&s.bytes, 0xB2);
      s.bytes += "F" + std::to_string(first + p.temporalReference);
      StartCode(&s.bytes, 0x01);
      s.bytes.append(16, '\x55');
      s.frameTypes.push_back(p.type == kTypeI ? 'I' : p.type == kTypeP ? 'P' : 'B');
    }
    first += kGopLength;
  }
  StartCode(&s.bytes, 0xB7);  // sequence end
  return s;
}

unsigned char LumaAt(int number, int field, int x, int y) {
  return static_cast<unsigned char>(16 + ((number * 5 + field * 101 + x + 3 * y) % 200));
}

unsigned char UAt(int number, int field, int x, int y) {
  return static_cast<unsigned char>(40 + ((number * 7 + field * 13 + 2 * x + y) % 180));
}

unsigned char VAt(int number, int field, int x, int y) {
  return static_cast<unsigned char>(30 + ((number * 11 + field * 17 + x + 5 * y) % 190));
}

int PitchFor(int width) {
  return ((width + 63) & ~63) + 64;
}

}  // namespace synthetic
