// Re-reading the settings of du::CorruptMessage, for tests. Internal; not
// installed.
#ifndef QMKUTILS_UTILITIES_INTERNAL_PSEUDOLOCALIZESETTINGS_H_
#define QMKUTILS_UTILITIES_INTERNAL_PSEUDOLOCALIZESETTINGS_H_

#include "qmkutils/platform/export.h"

namespace du::pseudo_localization {

// Reads "PIGLATIN_TAIL" and "PIGLATIN_REPLACE_CHARS" again. Not
// synchronised with CorruptMessage on other threads.
QMK_EXPORT void ReloadSettingsForTesting();

}  // namespace du::pseudo_localization

#endif  // QMKUTILS_UTILITIES_INTERNAL_PSEUDOLOCALIZESETTINGS_H_
