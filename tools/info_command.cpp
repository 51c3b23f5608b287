#include "info_command.h"

#include <cstdio>
#include <string>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/homesearch.h"
#include "qmkutils/platform/qminfo.h"
#include "qmkutils/platform/qmsysinfo.h"
#include "qmkutils/tracing/tracecontroller.h"

namespace qmk {
namespace {

constexpr const char* kUnknown = "(unknown)";
constexpr const char* kNoHome = "(no installation home)";

void Line(const char* label, const std::string& value) {
  std::printf("%-20s %s\n", (std::string(label) + ":").c_str(), value.c_str());
}

// A getter's text, or `otherwise` when it fails.
template <typename Getter>
std::string Text(Getter getter, const char* otherwise) {
  std::string value;
  return getter(&value) ? value : otherwise;
}

void PrintStore(const char* label, const dp::HomeSearchStore& store) {
  if (!store.file.empty()) {
    Line(label, store.file + " (read)");
    return;
  }
  if (store.candidates.empty()) {
    Line(label, "none: neither XDG_CONFIG_HOME nor HOME is set");
    return;
  }
  std::string looked;
  for (const std::string& candidate : store.candidates) {
    looked += (looked.empty() ? "" : ", ") + candidate;
  }
  Line(label, "none readable; looked for " + looked);
}

void PrintHome(const dp::HomeSearch& search) {
  if (!search.found) {
    Line("Installation home", "not found");
    Line("  looked at", search.variable + " (unset or empty)");
  } else if (!search.variableValue.empty()) {
    Line("Installation home", search.home);
    Line("  from", "environment variable " + search.variable);
    return;
  } else {
    Line("Installation home", search.home);
    Line("  from", std::string("registry store, ") +
                       (search.foundForCurrentUser ? "current user" : "local machine") + ", key " +
                       search.foundKey + ", value " + search.valueName);
    Line("  store file",
         search.foundForCurrentUser ? search.currentUser.file : search.localMachine.file);
    return;
  }
  PrintStore("  current user store", search.currentUser);
  PrintStore("  machine store", search.localMachine);
  for (const std::string& key : search.keys) {
    Line("  key tried", key + " (value " + search.valueName + ")");
  }
}

void PrintLanguage() {
  const std::string language = Text(dp::QmInfo::GetCurrentLanguage, kUnknown);
  const bool fromVariable = !dp::Environment::Get("QUILL_LANG").empty();
  Line("Language", language + (fromVariable ? " (from QUILL_LANG)" : " (system language)"));
  Line("Language offset",
       Text([](std::string* out) { return dp::QmInfo::GetLanguageOffset(out); }, kUnknown));
}

}  // namespace

int RunInfoCommand(int argc, char** argv) {
  if (argc > 0) {
    std::fprintf(stderr, "qmk info: unknown option '%s'\n", argv[0]);
    return 2;
  }
  // Trace lines, the language choice among them, go where QUILL_TRACE says.
  dp::TraceController::Instance().InitFromEnvironment();
  const dp::HomeSearch search = dp::SearchHome(std::string(), std::string());
  PrintHome(search);
  Line("Platform", Text(dp::QmInfo::GetPlatformName, kUnknown));
  PrintLanguage();
  Line("Admin preferences",
       Text([](std::string* out) { return dp::QmInfo::GetQuillAdminPrefsDir(out); }, kNoHome));
  Line("User preferences",
       Text([](std::string* out) { return dp::QmInfo::GetQuillUserPrefsDir(out); },
            "(neither XDG_CONFIG_HOME nor HOME is set)"));
  Line("Session directory",
       Text([](std::string* out) { return dp::QmInfo::GetQuillSessionDirectory(out); },
            "(no temporary directory)"));
  std::string value;
  Line("Host", dp::QmSysInfo::GetHostname(value) ? value : kUnknown);
  Line("User", dp::QmSysInfo::GetUsername(value) ? value : kUnknown);
  Line("OS name", dp::QmSysInfo::GetOSName(value) ? value : kUnknown);
  Line("OS version", dp::QmSysInfo::GetOSVersion(value) ? value : kUnknown);
  std::fflush(stdout);
  return search.found ? 0 : 1;
}

}  // namespace qmk
