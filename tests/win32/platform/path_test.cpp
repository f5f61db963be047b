#include "platform/path.h"

#include <cstring>
#include <string>

#include "tests/win32/support/check.h"
#include "tests/win32/support/win.h"

using namespace platform;

WIN_TEST(RelativeMeansWhatTheShellSays) {
  CHECK(PathIsRelative("video.m2v"));
  CHECK(PathIsRelative("..\\media\\video.m2v"));
  CHECK(PathIsRelative("media/video.m2v"));
  CHECK(!PathIsRelative("C:\\media\\video.m2v"));
  CHECK(!PathIsRelative("\\\\server\\share\\video.m2v"));
  CHECK(!PathIsRelative("\\media\\video.m2v"));
  CHECK(IsPathSeparator('\\'));
  CHECK(IsPathSeparator('/'));
  CHECK(!IsPathSeparator(':'));
  CHECK_EQ('\\', PreferredSeparator());
}

WIN_TEST(CanonicalizeResolvesDotsLexically) {
  char out[MAX_PATH];
  CHECK(PathCanonicalize(out, sizeof out, "C:\\projects\\vnt\\..\\media\\.\\video.m2v"));
  CHECK_EQ(std::string("C:\\projects\\media\\video.m2v"), std::string(out));
  CHECK(PathCanonicalize(out, sizeof out, "C:\\a\\b\\..\\..\\c"));
  CHECK_EQ(std::string("C:\\c"), std::string(out));
}

WIN_TEST(CanonicalizeRefusesWhatDoesNotFit) {
  char small[8];
  std::memset(small, 'x', sizeof small);
  CHECK(!PathCanonicalize(small, sizeof small, "C:\\long\\folder\\name"));
  CHECK_EQ('\0', small[0]);
  // Beyond MAX_PATH the dots resolve the same; what does not fit the buffer is refused.
  const std::string folder = "C:\\" + std::string(300, 'a');
  char out[1024];
  CHECK(PathCanonicalize(out, sizeof out, (folder + "\\b\\..\\.\\c").c_str()));
  CHECK_EQ(folder + "\\c", std::string(out));
  CHECK(!PathCanonicalize(out, 200, (folder + "\\c").c_str()));
  CHECK_EQ('\0', out[0]);
  CHECK(!PathCanonicalize(out, 0, "C:\\a"));
}

WIN_TEST(CurrentDirectoryComesBackWhole) {
  char expected[MAX_PATH];
  const DWORD length = GetCurrentDirectoryA(sizeof expected, expected);
  REQUIRE(length > 0 && length < sizeof expected);
  char out[MAX_PATH];
  CHECK_EQ(static_cast<size_t>(length), platform::GetCurrentDirectory(out, sizeof out));
  CHECK_EQ(std::string(expected), std::string(out));
  char small[2];
  CHECK_EQ(static_cast<size_t>(0), platform::GetCurrentDirectory(small, sizeof small));
}

WIN_TEST(ResolveLinksGivesTheSystemsFinalName) {
  wchar_t temp[MAX_PATH];
  REQUIRE(GetTempPathW(MAX_PATH, temp) > 0);
  const std::wstring folder =
      std::wstring(temp) + L"mpg-resolve-" + std::to_wstring(GetCurrentProcessId());
  REQUIRE(CreateDirectoryW(folder.c_str(), nullptr));
  // The system's own long, full name of the folder.
  wchar_t full[MAX_PATH], longName[MAX_PATH];
  REQUIRE(GetFullPathNameW(folder.c_str(), MAX_PATH, full, nullptr) > 0);
  REQUIRE(GetLongPathNameW(full, longName, MAX_PATH) > 0);
  char expected[3 * MAX_PATH];
  REQUIRE(WideCharToMultiByte(CP_UTF8, 0, longName, -1, expected, sizeof expected, nullptr,
                              nullptr) > 0);
  char given[3 * MAX_PATH];
  REQUIRE(WideCharToMultiByte(
              CP_UTF8, 0,
              (folder + L"\\.\\..\\" + folder.substr(folder.find_last_of(L'\\') + 1)).c_str(), -1,
              given, sizeof given, nullptr, nullptr) > 0);
  const std::string resolved = ResolveLinks(given);
  CHECK_EQ(0, lstrcmpiA(expected, resolved.c_str()));
  CHECK(ResolveLinks(std::string(given) + "\\missing").empty());
  RemoveDirectoryW(folder.c_str());
}
