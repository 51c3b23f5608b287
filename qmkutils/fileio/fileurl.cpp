#include "qmkutils/fileio/fileurl.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "qmkutils/platform/filesystem.h"

namespace du {

namespace {

constexpr std::string_view kFileScheme = "file://";
constexpr std::string_view kFileRoot = "file:///";

bool IsUnreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-_.!~*'()").find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsUrl(std::string_view text) {
  return text.size() >= 5 && text.find("://", 2) != std::string_view::npos;
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool HasDrive(std::string_view path) {
  return path.size() >= 2 && IsLetter(path[0]) && path[1] == ':';
}

// The path with "." segments dropped and each ".." cancelling the segment
// before it; `keep` leading segments (a drive, a server and share) are never
// cancelled.
std::string ResolveDots(std::string_view path, std::size_t keep) {
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, end - start);
    if (segment == "..") {
      if (segments.size() > keep) segments.pop_back();
    } else if (segment != "." && !(segment.empty() && end < path.size())) {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string out;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) out += '/';
    out += segments[i];
  }
  return out;
}

// The URL of an absolute path, its separators already turned into '/'. A
// network share (`share`) keeps its server and share, which ".." never
// cancels, after "file:///" and its own two slashes; a local path's
// doubled slashes collapse, as the file system reads them.
std::string UrlOfAbsolute(std::string_view path, bool share) {
  const std::string_view rest = path.substr(std::min(path.find_first_not_of('/'), path.size()));
  if (share) return std::string(kFileRoot) + "//" + ResolveDots(rest, 2);
  return std::string(kFileRoot) + ResolveDots(rest, HasDrive(rest) ? 1 : 0);
}

}  // namespace

void URI_Escape(std::string& out, const std::string& in, std::size_t start, std::size_t count) {
  out.clear();
  if (start >= in.size()) return;
  const std::string_view part = std::string_view(in).substr(start, count);
  for (const char c : part) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      out += c;
    } else {
      char escaped[4];
      static_cast<void>(std::snprintf(escaped, sizeof escaped, "%%%2.2x", byte));
      out += escaped;
    }
  }
}

du::Symbol GetURLForFileSource(const du::Symbol& source, const du::Symbol& base) {
  if (source.empty() || IsUrl(source.view())) return source;
  const bool share = source.view().starts_with("\\\\");
  std::string path(source.view());
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path[0] == '/' || HasDrive(path)) return du::Symbol(UrlOfAbsolute(path, share));

  std::string baseUrl;
  if (!base.empty()) {
    baseUrl = IsUrl(base.view()) ? std::string(base.view())
                                 : std::string(GetURLForFileSource(base).view());
  } else {
    const std::string current = dp::FileSystem::GetCurDir(false);
    baseUrl = UrlOfAbsolute(current.empty() ? "/" : current, false);
  }
  if (baseUrl.back() != '/') baseUrl += '/';
  if (baseUrl.starts_with(kFileRoot)) {
    // A file URL's path, with the source joined to it, is resolved as one
    // absolute path: a share (five slashes in all) keeps its server and
    // share.
    const std::string_view basePath = std::string_view(baseUrl).substr(kFileScheme.size());
    return du::Symbol(UrlOfAbsolute(std::string(basePath) + path, basePath.starts_with("///")));
  }
  // Another scheme: the dots of the joined path are resolved, never the
  // scheme and server.
  const std::size_t schemeEnd = baseUrl.find("://") + 3;
  const std::size_t pathStart = baseUrl.find('/', schemeEnd);
  if (pathStart == std::string::npos) return du::Symbol(baseUrl + path);
  return du::Symbol(baseUrl.substr(0, pathStart + 1) +
                    ResolveDots(baseUrl.substr(pathStart + 1) + path, 0));
}

}  // namespace du
