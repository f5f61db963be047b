// The synthetic MPEG-2-shaped streams of the Windows link tests, and the pictures that the test
// server "decodes" from them.
//
// A stream is a sequence of GOPs, each: a sequence header (00 00 01 B3, with the picture size in
// its first three bytes as in MPEG-2), a GOP header (B8), and per picture in coded order a picture
// header (00; temporal reference and coding type in its first two bytes as in MPEG-2), a user data
// unit (B2) carrying "F<display number>" in ASCII, and one slice (01) of filler bytes. The first
// GOP is closed (I P B B ...); the others are open (I B B P B B ...), their two leading B pictures
// displayed before the I picture and decodable only after the previous GOP.
//
// The server fills a picture from its display number alone, so a test can compute every byte it
// must receive. Pictures that a real decoder cannot produce (the leading B pictures of a run's
// first GOP) are filled with kUndecodableLuma instead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace synthetic {

constexpr int kGopLength = 12;
constexpr unsigned char kUndecodableLuma = 0x01;
constexpr unsigned char kFillerLuma = 0x02;  // a picture asked for after the end of the data

// Coding types as the picture header carries them.
constexpr int kTypeI = 1;
constexpr int kTypeP = 2;
constexpr int kTypeB = 3;

struct CodedPicture {
  int type;               // kTypeI, kTypeP or kTypeB
  int temporalReference;  // display position inside the GOP
};

// The coded order of a GOP: closed (the first one) or open.
std::vector<CodedPicture> GopPictures(bool closed);

struct Stream {
  std::string bytes;
  std::vector<uint64_t> gopOffsets;  // byte offset of each GOP's sequence header
  std::vector<char> frameTypes;      // 'I', 'P' or 'B' per picture in coded order (FRM lines)
};

// A stream of `gops` GOPs of `width` x `height` pictures.
Stream MakeStream(int gops, int width, int height);

// The sample values of display picture `number`; `field` is 0, or 1 for the second picture of a
// frame in double-rate mode (deinterlace 2).
unsigned char LumaAt(int number, int field, int x, int y);
unsigned char UAt(int number, int field, int x, int y);
unsigned char VAt(int number, int field, int x, int y);

// The picture pitch the server uses for a width (wider than the width, to prove that rows are
// addressed by the pitch).
int PitchFor(int width);

}  // namespace synthetic
