// qmk: the library's command-line tool. It dispatches to one command per
// source pair in this folder; `qmk help` lists them.
#include <cstdio>
#include <string_view>

#include "alloc_command.h"
#include "bin_command.h"
#include "bom_command.h"
#include "demo_command.h"
#include "info_command.h"
#include "l10n_command.h"
#include "trace_command.h"
#include "zip_command.h"

namespace {

constexpr const char* kUsage =
    "Usage: qmk <command> [options]\n"
    "\n"
    "Commands:\n"
    "  demo [--step]     Show what the library does: threads with thread-exit calls,\n"
    "                    traced to a running 'qmk trace', to the log that\n"
    "                    QUILL_PROC_TRACE or QUILL_TRACE names, or else to standard\n"
    "                    output. --step waits for Enter before each step.\n"
    "  trace [options]   Run the trace viewer: print the trace lines of every\n"
    "                    traced process of this user as they arrive.\n"
    "  alloc [--keep]    Run a short workload through the common allocator and print\n"
    "                    the allocator graph (suppliers above their consumers) with\n"
    "                    each allocator's reserved and in-use bytes, before and after\n"
    "                    freeing; --keep prints only the first.\n"
    "  info              Show where the installation is and how it was found (or\n"
    "                    what was looked at when it is not), the platform, the\n"
    "                    language, the preference directories, host, user and\n"
    "                    operating system. Exits with 1 when it is not found.\n"
    "  l10n check FILE   Check a strings file before it ships: every problem with\n"
    "                    its line, errors (the file does not load) and warnings (it\n"
    "                    loads, but a message may come out wrong), then the\n"
    "                    loader's verdict. Exits with 0 when the file is clean, 1\n"
    "                    when it does not load, 3 when it loads with warnings.\n"
    "  l10n show FILE TAG [ARG...]\n"
    "                    Print the message TAG of a strings file filled with the\n"
    "                    arguments; the loader's error and exit status 1 when it\n"
    "                    cannot be built.\n"
    "  l10n pseudo TEXT...\n"
    "                    Print each text pseudo-localised, as QUILL_LANG=pseudo\n"
    "                    shows messages (PIGLATIN_TAIL and PIGLATIN_REPLACE_CHARS\n"
    "                    apply).\n"
    "  bin dump FILE [--big-endian] [--layout \"LAYOUT\"]\n"
    "                    Show the values of a binary file and inflate its\n"
    "                    compressed sections. Without a layout: a hex dump in\n"
    "                    which each gzip member is shown inflated. LAYOUT lists\n"
    "                    the values in order: i8 u8 i16 u16 i32 u32 f32 f64 bool\n"
    "                    char, each with an optional count (\"f64*3\"), and z or\n"
    "                    z{ LAYOUT } for a compressed section. Exits with 1 when\n"
    "                    the data ends early or a section is corrupt.\n"
    "  zip list ARCHIVE  Print the entry names of a zip archive, one a line.\n"
    "  zip add ARCHIVE PATH...\n"
    "                    Add files (under their file names) and the contents of\n"
    "                    folders (recursively) to the archive, creating it when\n"
    "                    it does not exist.\n"
    "  zip extract ARCHIVE [FOLDER]\n"
    "                    Extract every entry below FOLDER (default: the current\n"
    "                    folder). Stops with exit status 1 at an entry that would\n"
    "                    land outside it: an absolute name, a drive, a \"..\"\n"
    "                    component, or a path through a symbolic link.\n"
    "  bom status [--package NAME] [--list FILE] [--build A.B.C.D]\n"
    "                    Show the installed packages of the installation (its\n"
    "                    bills of material in home/bom/NAME), and with the\n"
    "                    package list FILE the updates and the archives to\n"
    "                    download. --build is the build to check against\n"
    "                    (default -1.-1.-1.-1, any). Exits with 1 when the\n"
    "                    installation cannot be read.\n"
    "  bom install ZIP [--package NAME]\n"
    "                    Install a package archive below the home under the\n"
    "                    installation lock and show the package it installed.\n"
    "                    Exits with 1 when the archive does not open, is\n"
    "                    refused, or the installation is locked.\n"
    "  help              Show this text.\n"
    "\n"
    "Options of 'qmk trace':\n"
    "  --type T[,T...]   Keep only these message types: Info, Debug, Warning, Error\n"
    "                    (any case).\n"
    "  --key K[,K...]    Keep only sources whose key, or \"key::subkey\", is K.\n"
    "  --color WHEN      auto (the default: when standard output is a terminal),\n"
    "                    always or never. Warnings are yellow, errors red, debug\n"
    "                    lines dim.\n"
    "  --count N         Exit after printing N lines.\n"
    "Control characters and bytes that are not UTF-8 are shown escaped (\\x1b,\n"
    "\\u0085, \\xff; a backslash as \\\\). The viewer stops on Ctrl-C or SIGTERM,\n"
    "also when its output is blocked, and removes its endpoint.\n";

bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "help" && i == 1) return true;
    if (argument == "--help" || argument == "-h") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "demo") return qmk::RunDemoCommand(argc - 2, argv + 2);
  if (command == "alloc") return qmk::RunAllocCommand(argc - 2, argv + 2);
  if (command == "bin") return qmk::RunBinCommand(argc - 2, argv + 2);
  if (command == "bom") return qmk::RunBomCommand(argc - 2, argv + 2);
  if (command == "info") return qmk::RunInfoCommand(argc - 2, argv + 2);
  if (command == "l10n") return qmk::RunL10nCommand(argc - 2, argv + 2);
  if (command == "trace") return qmk::RunTraceCommand(argc - 2, argv + 2);
  if (command == "zip") return qmk::RunZipCommand(argc - 2, argv + 2);
  if (!command.empty()) std::fprintf(stderr, "qmk: unknown command '%s'\n\n", argv[1]);
  std::fputs(kUsage, stderr);
  return 2;
}
