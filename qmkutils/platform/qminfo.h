// Where the installation lives.
//
// `dp::QmInfo` answers with static getters that return false when the answer
// cannot be found, leave their output untouched then, and give false for a
// null output pointer. They never throw.
//
// The installation home comes from an environment variable ("QUILL_HOME"
// unless the caller names another), else from the registry store (see
// qmkutils/platform/internal/registry.h): the value "InstallationPath" of
// "Software\Zembra\<product>" (default product "Quillmark Station"), then of
// "Software\Zembra\Quillmark Pocket", then of "Software\Zembra\Quillmark
// Courier", each looked up for the current user before the local machine;
// the first non-empty one wins. The home is written with forward slashes and
// one trailing slash removed.
//
// The trace style sheet URL is "file:///" followed by the home and
// "/qmtrace/qmtrace.xsl". A Linux home already begins with '/', which then
// serves as the URL's third slash: "/opt/q" gives
// "file:///opt/q/qmtrace/qmtrace.xsl", "C:/Apps/Q" gives
// "file:///C:/Apps/Q/qmtrace/qmtrace.xsl". Whether the file exists is not
// checked.
#ifndef QMKUTILS_PLATFORM_QMINFO_H_
#define QMKUTILS_PLATFORM_QMINFO_H_

#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT QmInfo {
 public:
  QmInfo() = delete;

  // An empty `product` means "Quillmark Station"; an empty `envVar` means
  // "QUILL_HOME".
  static bool GetHomePath(std::string* out, const std::string& product, const std::string& envVar);
  static bool GetQmTraceXslFile(std::string* out);
  // The processors online now, at least 1.
  static int GetNumberOfProcessors();
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_QMINFO_H_
