// Command lines as Windows programs receive them. Internal; not installed.
//
// A child's command line is one text (it appears in trace lines as built);
// on Linux it is split back into the argument vector the child receives,
// following the Windows rules, so that a child sees the arguments a Windows
// child would see.
#ifndef QMKUTILS_PLATFORM_INTERNAL_COMMANDLINE_H_
#define QMKUTILS_PLATFORM_INTERNAL_COMMANDLINE_H_

#include <string>
#include <string_view>
#include <vector>

namespace dp::cmdline {

// "CMD /C " when `viaInterpreter`; the program in double quotes with every
// double quote removed; then a blank and each argument. Unless `verbatim`,
// an argument containing a blank is put in double quotes with a backslash
// before each double quote inside it.
std::string Build(std::string_view program, const std::vector<std::string>& args,
                  bool viaInterpreter, bool verbatim);

// The arguments of `line`, separated by blanks and tabs. The first is the
// program name: up to the next blank, or in double quotes, taken literally.
// In the others 2n backslashes before a double quote give n backslashes and
// the quote opens or closes a quoted part; 2n+1 give n backslashes and a
// literal double quote; backslashes before anything else are literal; inside
// a quoted part "" is a literal double quote.
std::vector<std::string> Split(std::string_view line);

}  // namespace dp::cmdline

#endif  // QMKUTILS_PLATFORM_INTERNAL_COMMANDLINE_H_
