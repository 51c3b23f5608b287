// `qmk bin dump`: shows what a binary file of the library holds, the tool
// to reach for when a file will not load.
//
//   qmk bin dump FILE [--big-endian] [--layout "LAYOUT"]
//
// Without a layout the file is shown as a hex dump in which every gzip
// member that inflates cleanly is shown inflated, as a section, in place
// of its compressed bytes.
//
// A layout names the values the file should hold, in order, separated by
// blanks: i8 u8 i16 u16 i32 u32 f32 f64 bool char, each optionally with a
// count ("f64*3"); "z" for a compressed section (gzip member or zlib
// stream), either shown whole as a hex dump or read with a layout of its
// own: "z{ i32 u8*4 }". Each value is printed with its offset (inside a
// section, its offset in the inflated bytes); whatever a layout leaves
// unread, in a section or at the end of the file, follows as a hex dump.
//
// Exit status: 0 when the whole layout was read, 1 when the file cannot be
// opened, ends early or holds a corrupt section, 2 on bad usage.
#ifndef QMKUTILS_TOOLS_BIN_COMMAND_H_
#define QMKUTILS_TOOLS_BIN_COMMAND_H_

namespace qmk {

// Returns the exit status.
int RunBinCommand(int argc, char** argv);

}  // namespace qmk

#endif  // QMKUTILS_TOOLS_BIN_COMMAND_H_
