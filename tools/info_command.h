// `qmk info`: where this machine's installation is, and why it is not found.
//
// Prints one labelled line per fact: the installation home and where it came
// from (the environment variable, or the registry store file and key that
// held it), the platform name, the language and its directory offset and
// whether QUILL_LANG chose it, the administrator and user preference
// directories, the session directory, host and user, and the operating
// system's name and version. When the home is not found it says what was
// looked at (the variable, each registry store file with where it was looked
// for, the keys and the value tried) and exits with status 1; the other
// lines are printed all the same. Everything goes to standard output; trace
// lines go where QUILL_PROC_TRACE or QUILL_TRACE says.
#ifndef QMKUTILS_TOOLS_INFO_COMMAND_H_
#define QMKUTILS_TOOLS_INFO_COMMAND_H_

namespace qmk {

// Returns the exit status: 0, 1 when the home is not found, 2 for bad
// options.
int RunInfoCommand(int argc, char** argv);

}  // namespace qmk

#endif  // QMKUTILS_TOOLS_INFO_COMMAND_H_
