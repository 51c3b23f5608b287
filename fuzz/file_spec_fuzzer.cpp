// Fuzzes dp::FileSpec parsing in both path styles. The whole input is the
// path. What is checked is what qmkutils/platform/filespec.h promises: the
// written path reads back as the parsed one, the styles differ only in drive
// letters, RemoveDotAndDotDot leaves no name to cancel, and equality and
// ordering agree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qmkutils/platform/filespec.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& path, dp::PathStyle style) {
  std::fprintf(stderr, "file_spec: %s (%s style) for \"%s\"\n", what,
               style == dp::PathStyle::Windows ? "Windows" : "native", path.c_str());
  std::abort();
}

bool HasFilePart(const dp::FileSpec& path) {
  std::string file;
  return path.GetFile(&file);
}

bool HasDrive(const dp::FileSpec& path) {
  std::string drive;
  return path.GetDrive(&drive);
}

bool StartsWithDriveLetter(const std::string& path) {
  const char c = path.empty() ? '\0' : path[0];
  return path.size() >= 2 && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && path[1] == ':';
}

void CheckRoundTrip(const std::string& path, dp::PathStyle style) {
  const dp::FileSpec parsed(path, style);
  std::string written;
  const bool wroteSome = parsed.GetFileSpec(&written);
  if (wroteSome != !(parsed.empty() && parsed.IsRelative())) {
    Fail("GetFileSpec fails on a non-empty path, or writes an empty one", path, style);
  }
  const char foreign = style == dp::PathStyle::Windows ? '/' : '\\';
  if (written.find(foreign) != std::string::npos) Fail("the other style's separator", path, style);

  // Without a file part the path is written without its trailing separator;
  // the location text keeps it.
  std::string reread = written;
  if (!HasFilePart(parsed)) parsed.GetLocation(&reread, true);
  if (reread.empty()) return;
  // A drive-relative path without directories gains a separator after the
  // colon, so it reads back absolute.
  dp::FileSpec expected = parsed;
  if (HasDrive(parsed) && parsed.IsRelative() && parsed.DirCount() == 0) expected.MarkAsAbsolute();
  const dp::FileSpec again(reread, style);
  if (again != expected) Fail("the written path reads back differently", path, style);
  if (again < expected || expected < again) Fail("ordering disagrees with equality", path, style);
}

void CheckRemoveDotAndDotDot(const std::string& path) {
  dp::FileSpec normalised(path);
  const dp::FileSpec original = normalised;
  normalised.RemoveDotAndDotDot();
  bool previousCancels = false;
  for (auto dir = normalised.DirBegin(); dir != normalised.DirEnd(); ++dir) {
    if (*dir == ".") Fail("a \".\" left", path, dp::PathStyle::Native);
    if (*dir == ".." && previousCancels)
      Fail("a \"..\" left to cancel", path, dp::PathStyle::Native);
    previousCancels = *dir != "..";
  }
  std::string before, after;
  original.GetFile(&before);
  normalised.GetFile(&after);
  if (before != after) Fail("the file part changed", path, dp::PathStyle::Native);
  dp::FileSpec twice = normalised;
  twice.RemoveDotAndDotDot();
  if (twice != normalised) Fail("a second pass changed the path", path, dp::PathStyle::Native);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  CheckRoundTrip(path, dp::PathStyle::Native);
  CheckRoundTrip(path, dp::PathStyle::Windows);
  const dp::FileSpec native(path), windows(path, dp::PathStyle::Windows);
  if (!StartsWithDriveLetter(path) && native != windows) {
    Fail("the styles differ without a drive letter", path, dp::PathStyle::Windows);
  }
  if ((native < windows) + (windows < native) + (native == windows) != 1) {
    Fail("ordering is not a strict weak ordering", path, dp::PathStyle::Windows);
  }
  CheckRemoveDotAndDotDot(path);
  return 0;
}
