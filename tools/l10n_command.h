// `qmk l10n`: tools for the translators of strings files.
//
//   qmk l10n check FILE            every problem of FILE, one line each
//   qmk l10n show FILE TAG [ARG...]   the message TAG built from FILE
//   qmk l10n pseudo TEXT...        each text pseudo-localised
//
// `check` reads FILE with the loader's own rules (the code is shared) but
// goes on past the first problem. Errors stop the file from loading:
// a blank line that is not the last, a malformed line, a duplicate tag
// (with the line of the first), no "value" entry at all, a read error.
// Warnings do not: an attribute other than "value" (the entry is ignored),
// an empty tag, a tag holding a NUL byte, a "{" that forms no placeholder
// ("{}", "{x}", never closed, an index too large), and arguments that no
// placeholder uses ("{1}" without "{0}"). Each problem is printed as
// "FILE:LINE: error: ..." or "FILE:LINE: warning: ...", then one summary
// line with the loader's verdict, its own message when it refuses the file.
// Exit status: 0 clean, 1 the file does not load, 2 bad usage, 3 the file
// loads but has warnings.
//
// `show` prints the message and a line feed; the loader's error and status
// 1 when the file does not load or the tag or the number of arguments is
// wrong. `pseudo` honours PIGLATIN_TAIL and PIGLATIN_REPLACE_CHARS.
#ifndef QMKUTILS_TOOLS_L10N_COMMAND_H_
#define QMKUTILS_TOOLS_L10N_COMMAND_H_

namespace qmk {

// Returns the exit status.
int RunL10nCommand(int argc, char** argv);

}  // namespace qmk

#endif  // QMKUTILS_TOOLS_L10N_COMMAND_H_
