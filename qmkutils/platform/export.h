// Symbol visibility of the library.
//
// The library is built with hidden visibility: only declarations marked
// QMK_EXPORT are part of its binary interface. Every public class and free
// function carries the mark, and so does every type that crosses the library
// boundary as an exception, so that callers can catch it by type.
#ifndef QMKUTILS_PLATFORM_EXPORT_H_
#define QMKUTILS_PLATFORM_EXPORT_H_

#define QMK_EXPORT __attribute__((visibility("default")))

// Marks printf-style entry points so that callers get format checking.
// `format_index` and `first_arg` count from 1, with `this` as 1 for members.
#define QMK_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))

#endif  // QMKUTILS_PLATFORM_EXPORT_H_
