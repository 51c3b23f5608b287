#include "qmkutils/platform/qminfo.h"

#include <unistd.h>

#include <utility>
#include <vector>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/filespec.h"
#include "qmkutils/platform/filesystem.h"
#include "qmkutils/platform/homesearch.h"
#include "qmkutils/platform/internal/asciitext.h"
#include "qmkutils/platform/internal/configdirs.h"
#include "qmkutils/platform/internal/installation.h"
#include "qmkutils/platform/internal/registry.h"
#include "qmkutils/platform/system.h"

namespace dp {
namespace {

namespace in = installation;

// An absolute path's own leading '/' serves as the URL's third slash.
constexpr const char* kFileUrlPrefixOfAbsolutePath = "file://";

bool Assign(std::string* out, std::string value) {
  if (out == nullptr) return false;
  *out = std::move(value);
  return true;
}

bool BelowHome(std::string* out, const std::string& below) {
  std::string home;
  if (out == nullptr || !QmInfo::GetHomePath(&home, std::string(), std::string())) return false;
  return Assign(out, home + below);
}

std::string ProductDir(const std::string& product) {
  return std::string(in::kResourcesDir) + "/" + product;
}

bool FromVariable(std::string* out, const char* name) {
  std::string value = Environment::Get(name);
  return !value.empty() && Assign(out, std::move(value));
}

// The symbol form of a getter: `out` changes only on success.
bool AsSymbol(du::Symbol& out, bool (*get)(std::string*)) {
  std::string value;
  if (!get(&value)) return false;
  out = value;
  return true;
}

bool QmtrbFile(std::string* out, const std::string& dir, const std::string& name) {
  FileSpec file;
  file.SetDirPath(dir);
  file.SetFileBaseName(name);
  file.SetFileExtension(in::kCatalogueExtension);
  return file.GetFileSpec(out);
}

}  // namespace

bool QmInfo::GetHomePath(std::string* out, const std::string& product, const std::string& envVar) {
  if (out == nullptr) return false;
  HomeSearch search = SearchHome(product, envVar);
  return search.found && Assign(out, std::move(search.home));
}

bool QmInfo::GetPlatformName(std::string* out) { return Assign(out, in::kPlatformName); }
bool QmInfo::Get32BitPlatformName(std::string* out) { return Assign(out, in::k32BitPlatformName); }
bool QmInfo::Get64BitPlatformName(std::string* out) { return Assign(out, in::kPlatformName); }
bool QmInfo::GetDllExtension(std::string* out) { return Assign(out, in::kLibraryExtension); }
bool QmInfo::GetExeExtension(std::string* out) { return Assign(out, in::kProgramExtension); }

bool QmInfo::GetPlatformPath(std::string* out) { return BelowHome(out, in::kPlatformDir); }
bool QmInfo::GetDllPath(std::string* out) { return BelowHome(out, in::kLibraryDir); }

bool QmInfo::GetBinPath(std::string* out, const std::string& product, const std::string& envVar) {
  std::string home;
  if (out == nullptr || !GetHomePath(&home, product, envVar)) return false;
  return Assign(out, home + in::kBinDir);
}

bool QmInfo::GetJavaClassPath(std::string* out) { return BelowHome(out, in::kJavaDir); }
bool QmInfo::GetQuillFontDir(std::string* out) { return BelowHome(out, in::kFontDir); }

bool QmInfo::GetQmTraceXslFile(std::string* out) {
  std::string path;
  if (!BelowHome(&path, in::kTraceStyleSheet) || out == nullptr) return false;
  return Assign(out,
                (path.front() == '/' ? kFileUrlPrefixOfAbsolutePath : in::kFileUrlPrefix) + path);
}

bool QmInfo::GetQuillAdminPrefsDir(std::string* out) { return BelowHome(out, in::kAdminPrefsDir); }

bool QmInfo::GetQuillUserPrefsDir(std::string* out) {
  const std::string dir = configdirs::UserDir();
  return out != nullptr && !dir.empty() && Assign(out, dir + in::kUserPrefsDir);
}

bool QmInfo::GetQuillAdminPrefsDir(du::Symbol& out) {
  return AsSymbol(out, [](std::string* dir) { return GetQuillAdminPrefsDir(dir); });
}

bool QmInfo::GetQuillUserPrefsDir(du::Symbol& out) {
  return AsSymbol(out, [](std::string* dir) { return GetQuillUserPrefsDir(dir); });
}

bool QmInfo::GetQuillUserPrefsFile(du::Symbol& out) {
  out = in::kUserPrefsFile;
  return true;
}

bool QmInfo::GetQuillAdminPrefsFile(du::Symbol& out) {
  out = in::kAdminPrefsFile;
  return true;
}

bool QmInfo::GetQuillServerPrefsFile(du::Symbol& out) {
  out = in::kServerPrefsFile;
  return true;
}

bool QmInfo::GetQuillSessionDirectory(std::string* out) {
  const std::string temp = FileSystem::GetTempDir();
  std::string user;
  if (out == nullptr || temp.empty() || !System::GetSystemUserName(&user)) return false;
  FileSpec dir;
  dir.SetDirPath(temp);
  dir.DirPushBack(user);
  dir.DirPushBack(in::kSessionDir);
  return dir.GetLocation(out, false);
}

bool QmInfo::GetAdapterPaths(std::map<du::Symbol, du::Symbol>& adapters) {
  constexpr std::size_t kMaxValueName = 16383;
  std::vector<std::pair<std::string, std::string>> values;
  if (!registry::ReadValues(registry::Root::kLocalMachine, in::kImportFiltersKey, &values)) {
    return false;
  }
  for (auto& [name, data] : values) {
    if (name.size() > kMaxValueName) continue;
    for (char& c : name) c = ascii::Lower(c);
    adapters[du::Symbol(name)] = du::Symbol(data);
  }
  return true;
}

bool QmInfo::GetProductTextDir(std::string* out, const std::string& product) {
  return BelowHome(out, ProductDir(product) + in::kTextDir);
}

bool QmInfo::GetProductResourceDir(std::string* out, const std::string& product) {
  return BelowHome(out, ProductDir(product) + in::kResourceDir);
}

bool QmInfo::GetProductTextResourceDir(std::string* out, const std::string& product) {
  return BelowHome(out, ProductDir(product) + in::kTextDir + in::kResourceDir);
}

bool QmInfo::GetLocalizedProductTextDir(std::string* out, const std::string& product,
                                        const std::string& language) {
  std::string offset;
  return out != nullptr && GetLanguageOffset(&offset, language) &&
         BelowHome(out, ProductDir(product) + in::kTextDir + offset);
}

bool QmInfo::GetLocalizedProductResourceDir(std::string* out, const std::string& product,
                                            const std::string& language) {
  std::string offset;
  return out != nullptr && GetLanguageOffset(&offset, language) &&
         BelowHome(out, ProductDir(product) + in::kResourceDir + offset);
}

bool QmInfo::GetLocalizedProductTextDir(std::string* out, const std::string& product) {
  std::string offset;
  return out != nullptr && GetLanguageOffset(&offset) &&
         BelowHome(out, ProductDir(product) + in::kTextDir + offset);
}

bool QmInfo::GetLocalizedProductResourceDir(std::string* out, const std::string& product) {
  std::string offset;
  return out != nullptr && GetLanguageOffset(&offset) &&
         BelowHome(out, ProductDir(product) + in::kResourceDir + offset);
}

bool QmInfo::GetLocalizedProductTextResourceDir(std::string* out, const std::string& product) {
  std::string offset;
  return out != nullptr && GetLanguageOffset(&offset) &&
         BelowHome(out, ProductDir(product) + in::kTextDir + in::kResourceDir + offset);
}

bool QmInfo::GetPrimaryQmtrbFile(std::string* out, const std::string& product,
                                 const std::string& name) {
  std::string dir;
  return out != nullptr && GetLocalizedProductTextDir(&dir, product) && QmtrbFile(out, dir, name);
}

bool QmInfo::GetFallbackQmtrbFile(std::string* out, const std::string& product,
                                  const std::string& name) {
  std::string dir;
  return out != nullptr && GetLocalizedProductTextDir(&dir, product, in::kFallbackLanguage) &&
         QmtrbFile(out, dir, name);
}

bool QmInfo::GetQuillFontListFile(std::string* out) {
  return out != nullptr && FromVariable(out, in::kFontListVariable);
}

bool QmInfo::GetQuillPreferedFont(std::string* out) {
  return out != nullptr && FromVariable(out, in::kFontFileVariable);
}

bool QmInfo::GetMsiInstallerExec(std::string* /*out*/) { return false; }

bool QmInfo::GetFileVersion(const std::string& /*path*/, std::string& /*version*/) { return false; }

int QmInfo::GetNumberOfProcessors() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online < 1 ? 1 : static_cast<int>(online);
}

}  // namespace dp
