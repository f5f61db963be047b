// The number at the start of a text, as the project file and the defaults file hold them: white
// space, an optional sign ('+', or '-' where the type has negative values), decimal digits up to
// the first other character. One reading for both files, so that they never disagree about what
// a line says.
#pragma once

#include <charconv>
#include <cstring>
#include <type_traits>

namespace number {

enum class Read { kNone, kOutOfRange, kOk };

// Reads the number at the start of `text` into `value` (untouched unless kOk). `end`, where given,
// receives the first character after the digits (also when they are out of range).
template <typename T>
Read Leading(const char* text, T* value, const char** end = nullptr) {
  static_assert(std::is_integral_v<T>);
  if (text == nullptr) return Read::kNone;
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  const char* digits = text;
  if (*digits == '+' || (*digits == '-' && std::is_signed_v<T>)) ++digits;
  if (*digits < '0' || *digits > '9') return Read::kNone;
  // from_chars takes the minus sign itself, never a plus sign.
  const char* first = *text == '+' ? digits : text;
  T read{};
  const auto [stop, error] = std::from_chars(first, first + std::strlen(first), read);
  if (end != nullptr) *end = stop;
  if (error == std::errc::result_out_of_range) return Read::kOutOfRange;
  if (error != std::errc()) return Read::kNone;
  *value = read;
  return Read::kOk;
}

}  // namespace number
