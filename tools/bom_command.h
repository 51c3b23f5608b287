// `qmk bom`: what an installation holds, what it needs, and installing a
// package archive into it.
//
//   qmk bom status [--package NAME] [--list FILE] [--build A.B.C.D]
//   qmk bom install ZIP [--package NAME]
//
// The installation home is the library's (QUILL_HOME, else the registry
// store); the bills of material lie in home/bom/NAME, or in home/bom/ itself
// when NAME is empty (the default).
//
// `status` reads the installed packages, and with --list the package list
// FILE as the download side. It prints one line per fact, each starting
// with its kind: "installed" for each installed package in the bom's order
// (name, version, build, file, and "program" for a program), "update" for
// each package whose installed build should be upgraded to the listed one,
// "download" for each archive that must be fetched (ordered by package
// name), "unavailable" for a package whose dependencies cannot be met. --build
// is the build the initialisation checks against (default -1.-1.-1.-1,
// "any"); an initialisation that fails is reported in words.
//
// `install` extracts ZIP below the home under the installation lock into the
// package named after the archive (its base name less ".zip", plus ".bom"),
// then prints what the package's installed side says.
//
// Exit status: 0 done, 1 failed (with a message on standard error), 2 bad
// usage. Trace lines go where QUILL_PROC_TRACE or QUILL_TRACE says.
#ifndef QMKUTILS_TOOLS_BOM_COMMAND_H_
#define QMKUTILS_TOOLS_BOM_COMMAND_H_

namespace qmk {

// Returns the exit status.
int RunBomCommand(int argc, char** argv);

}  // namespace qmk

#endif  // QMKUTILS_TOOLS_BOM_COMMAND_H_
