#include "platform/win32/wide.h"

#include <vector>

namespace platform {
namespace win32 {

namespace {

// The full path of `path` (GetFullPathNameW), or empty when it cannot be made.
std::wstring FullPath(const std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length + 1);
  }
}

}  // namespace

bool IsUtf8(const std::string& text) {
  if (text.empty()) return true;
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                               static_cast<int>(text.size()), nullptr, 0) > 0;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const UINT page = IsUtf8(text) ? CP_UTF8 : CP_ACP;
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(page, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(page, 0, text.data(), size, &wide[0], length);
  return wide;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string utf8(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &utf8[0], length, nullptr, nullptr);
  return utf8;
}

std::wstring FilePath(const std::string& path) {
  const std::wstring wide = Wide(path);
  // Already in a device or "\\?\" form.
  if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
  const std::wstring full = FullPath(wide);
  // A folder's name must leave room for an 8.3 name, so the limit is MAX_PATH less 12.
  if (full.empty() || full.size() < MAX_PATH - 12) return wide;
  if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length > 0 && buffer ? std::wstring(buffer, length) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  const std::string number = "error " + std::to_string(code);
  return text.empty() ? "Windows " + number : Utf8(text) + " (" + number + ")";
}

}  // namespace win32
}  // namespace platform
