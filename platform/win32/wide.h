// Text and paths between the UTF-8 the rest of the code speaks and the wide functions of Windows.
//
// A name is UTF-8 when its bytes are valid UTF-8; otherwise it is read in the ANSI code page, which
// is what an AviSynth 2.5 host (and AviSynth+ with a script saved as ANSI) passes. ASCII is both.
#pragma once

#include <windows.h>

#include <string>

namespace platform {
namespace win32 {

// True when `text` is valid UTF-8 (ASCII included).
bool IsUtf8(const std::string& text);

// `text` as UTF-16: from UTF-8 when it is valid UTF-8, else from the ANSI code page.
std::wstring Wide(const std::string& text);

// UTF-16 as UTF-8.
std::string Utf8(const std::wstring& text);

// `path` for the wide file functions: as given while short, and in the "\\?\" form (absolute,
// backslashes only) once its full form reaches the length at which the plain form fails.
std::wstring FilePath(const std::string& path);

// The system's text for the error `code` (FormatMessageW), in UTF-8, without the line end, with
// the number after it: "The system cannot find the file specified. (error 2)".
std::string ErrorText(DWORD code);

}  // namespace win32
}  // namespace platform
