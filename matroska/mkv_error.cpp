// The parser's bounded message formatter, error raising and text copying.
#include <cstdarg>
#include <cstdint>

#include "matroska/mkv_file.h"

namespace mkv {
namespace {

// Appends characters to a fixed buffer, dropping what does not fit (one byte stays for the
// terminator).
struct Output {
  char* destination;
  uint32_t limit;
  uint32_t length;
  void put(char c) {
    if (length < limit) destination[length++] = c;
  }
};

void putNumber(Output& out, uint64_t magnitude, bool negative, unsigned base, bool upper, char flag,
               uint32_t width) {
  char digits[24];
  uint32_t count = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[count++] = set[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  uint32_t length = count + (negative ? 1 : 0);
  if (negative) out.put('-');
  if (flag != '-') {
    for (uint32_t i = length; i < width; ++i) out.put(flag == '0' ? '0' : ' ');
  }
  while (count > 0) out.put(digits[--count]);
  if (flag == '-') {
    for (uint32_t i = length; i < width; ++i) out.put(' ');
  }
}

}  // namespace

void formatMessage(char* destination, uint32_t size, const char* format, va_list args) {
  if (size == 0) return;
  Output out{destination, size - 1, 0};
  const char* p = format;
  while (*p != 0) {
    if (*p != '%') {
      out.put(*p++);
      continue;
    }
    ++p;
    char flag = 0;
    if (*p == '-' || *p == '0') flag = *p++;
    uint32_t width = 0;
    while (*p >= '0' && *p <= '9') {
      // Output never exceeds the buffer, so larger widths change nothing.
      if (width < 100000) width = width * 10 + static_cast<uint32_t>(*p - '0');
      ++p;
    }
    int longs = 0;
    while (*p == 'l') {
      ++longs;
      ++p;
    }
    char conversion = *p;
    if (conversion == 0) break;
    ++p;
    if (longs >= 3) continue;  // unsupported width: prints nothing, consumes nothing
    const bool wide = longs == 2;
    switch (conversion) {
      case 'd': {
        int64_t v = wide ? static_cast<int64_t>(va_arg(args, long long)) : va_arg(args, int);
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        putNumber(out, magnitude, v < 0, 10, false, flag, width);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        uint64_t v =
            wide ? static_cast<uint64_t>(va_arg(args, unsigned long long)) : va_arg(args, unsigned);
        putNumber(out, v, false, conversion == 'u' ? 10 : 16, conversion == 'X', flag, width);
        break;
      }
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        while (*text != 0) out.put(*text++);
        break;
      }
      default:
        break;  // unsupported conversion: nothing printed, no argument consumed
    }
  }
  destination[out.length] = 0;
}

void formatText(char* destination, uint32_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatMessage(destination, size, format, args);
  va_end(args);
}

void raiseError(MatroskaFile* mf, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatMessage(mf->errorMessage, sizeof mf->errorMessage, format, args);
  va_end(args);
  mf->flags |= MKV_ERROR_RAISED;
  throw Error{};
}

void copyText(const char* text, uint32_t size, char* destination) {
  if (size == 0) return;
  uint32_t n = 0;
  while (n + 1 < size && text[n] != 0) {
    destination[n] = text[n];
    ++n;
  }
  destination[n] = 0;
}

}  // namespace mkv
