// Files and directories: opening, existence tests, creation and removal,
// copying, renaming, comparing, numbered backups, temporary names, the
// current, home and temporary directories, and `$NAME` expansion.
//
// `dp::FileSystem` is a set of static functions over UTF-8 paths, which go to
// the POSIX calls as they are (no conversion). Failure is reported by the
// result (false, -1, an empty string or a null pointer), never by an
// exception; errno is cleared before each C library call so that a caller can
// read the cause afterwards. A null path counts as a path that does not exist.
// Paths that are too long, name no directory or do not exist give such a
// result, never a crash. Everything opened is close-on-exec.
//
// Linux behaviour, where the Windows original differs:
// - qmfopen and qmfopen_s open the file with open(O_CLOEXEC) and hand it to
//   fdopen. The mode's first letter ('r', 'w', 'a') and '+' and 'x' count;
//   Windows-only letters ('b', 't', 'c', 'n', 'N', 'S', 'R', 'T', 'D') and a
//   ",ccs=..." suffix are accepted and ignored. A directory is refused with
//   EISDIR, as on Windows. qmfopen_s returns the errno value (0 on success)
//   and sets *file to null on failure. qmopen adds O_CLOEXEC to the flags.
// - Separators: paths are written with '/' (dp::FileSpec's native style).
//   DirExists still drops one trailing '/' or '\', but never the root's '/'.
// - RenameFile is rename(), then an fsync of the file and its directory (a
//   failed fsync does not fail the rename). A directory never replaces an
//   existing target (renameat2 RENAME_NOREPLACE), as on Windows; Linux alone
//   would replace an empty directory. Across file systems (EXDEV) a regular
//   file is copied (keeping its permission bits) to a new hidden name in the
//   target's directory, fsynced, renamed over the target, the directory
//   fsynced, and only then is the source unlinked; a failure before that
//   rename (a failed fsync included) removes the copy and leaves source and
//   target as they were. Anything else gives false across file systems, as
//   the Windows move cannot copy a directory either. A source that is a
//   dangling symbolic link still counts as existing.
// - CopyFile keeps the observable contract of the original (false when the
//   source is missing or a directory, the target is null, either cannot be
//   opened, or not every byte can be written; true otherwise; a new target
//   gets mode 0666 less the umask; the target ends up holding exactly the
//   bytes copied, as "wb" would leave it), but copies in the kernel:
//   copy_file_range, then sendfile, then read/write in 256 KiB blocks, each
//   taking over where the previous one cannot work (another file system, a
//   special file, a /proc file that reports no size). An existing regular
//   target is written over from its start and then cut to the copied length
//   instead of being emptied first, which spares the file system freeing and
//   allocating its blocks again (bench/filesystem_bench.cpp: about 5x faster than
//   std::filesystem::copy_file over an existing 100 MiB copy, as fast for a
//   new one). Readers of the target may see a mix of old and new bytes while
//   it runs. A source and target that are the same file give false and leave
//   it untouched (the original emptied it). The target is opened with
//   O_NONBLOCK, cleared at once, so a FIFO without a reader gives false
//   (ENXIO) instead of waiting for one. SIGPIPE is blocked in the calling
//   thread while the bytes are written, so a pipe whose reader leaves gives
//   false (EPIPE), never the signal; a SIGPIPE this raised is consumed with
//   sigtimedwait before the thread's mask is restored.
// - Stat fills the record from stat(2): st_size, st_atime, st_ctime,
//   st_mtime, and st_mode (its file-type and permission bits).
// - GetCurDir reads up to PATH_MAX bytes; MakePathAbsolute gives an empty
//   string when the current directory cannot be read.
// - GetHomeDir: HOMEDRIVE followed by HOMEPATH when both are set and not
//   empty, else $HOME. GetTempDir: QUILL_TEMP when not empty, else $TMPDIR
//   when not empty, else "/tmp"; returned as set, without a separator added.
// - Temporary names: the prefix and 13 characters of "0123456789abcdefghij
//   klmnopqrstuv" taken 5 bits at a time, low bits first, from a 64-bit PJW
//   hash (value << 4 plus each byte; the top 4 bits folded back into bits
//   56-59 and cleared). The hash starts from a process-wide seed, the mix of
//   the host name (dp::Socket::GetHostname) and the process id (taken anew
//   at each use, so a forked child gets a seed of its own), and mixes in
//   the calling thread's id and the monotonic counter (dp::Timer::
//   GetRawValue); integers are fed low byte first, ids as 4 bytes and the
//   counter as 8. Since the fold clears the top 4 bits, the 13th character is
//   always '0'.
// - MkTempDir creates the directory with mode 0700 (like mkdtemp); MkTempFile
//   creates the file with open(O_CREAT | O_EXCL | O_CLOEXEC), mode 0600, and
//   closes it at once. A null directory means GetTempDir(), an empty one the
//   current directory (GetCurDir). Both try 32 names, as the original does,
//   and trace their failures (key "dp", sub-key "FileSystem", Error) with the
//   original's texts.
// - DeletePath works relative to directory descriptors (openat, unlinkat
//   with O_NOFOLLOW): it unlinks a symbolic link instead of following it, and
//   a directory swapped for a link while it runs cannot lead it out of the
//   tree. A path that is itself a symbolic link (trailing separators
//   dropped) has the link unlinked, never its target; the result says
//   whether that worked. A file that is not a directory gives false. Refused
//   (false, nothing removed): a last name of "." or "..", and the root
//   directory, also when reached through a mount of it. It does not descend
//   into a directory of another file system (another device, or a mount
//   point by statx's mount-root attribute): that directory is left as it is,
//   so the removal of its parent, and the result, fail. It keeps one
//   descriptor open per level of the tree, so a tree deeper than the
//   descriptor limit is not removed entirely (false).
// - BackupFile keeps the original's guard literally: a path whose
//   next-to-last character is '~' is refused.
// - BuildPath builds each prefix as FileSpec::GetLocation writes it, so an
//   absolute path stays absolute; a directory created meanwhile by someone
//   else counts as success. New directories get mode 0777 less the umask, as
//   Mkdir does.
//
// All functions may be called from any thread at once; the current directory
// is the process's, so Chdir affects every thread.
#ifndef QMKUTILS_PLATFORM_FILESYSTEM_H_
#define QMKUTILS_PLATFORM_FILESYSTEM_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

struct FileStat {
  std::int64_t size = 0;        // bytes
  std::int64_t accessTime = 0;  // seconds since 1970-01-01 UTC
  std::int64_t changeTime = 0;  // status change
  std::int64_t modifyTime = 0;
  std::uint64_t mode = 0;  // the stat mode bits
};

class QMK_EXPORT FileSystem {
 public:
  FileSystem() = delete;

  // Null for a null or empty path or mode.
  static FILE* qmfopen(const char* path, const char* mode);
  static FILE* qmfopen(const std::string& path, const char* mode);
  // 0, or the errno value (EINVAL for a null argument).
  static int qmfopen_s(FILE** file, const char* path, const char* mode);
  static int qmfopen_s(FILE** file, const std::string& path, const char* mode);
  // The descriptor or -1.
  static int qmopen(const char* path, int flags, int permissions);
  static int qmopen(const std::string& path, int flags, int permissions);

  static bool FileExists(const char* path);
  static bool FileReadable(const char* path);
  // Accepts one trailing separator.
  static bool DirExists(const char* path);
  // 0 with the record filled, or -1.
  static int Stat(const char* path, FileStat* stat);
  // 0 or -1.
  static int Mkdir(const char* path);
  static int Rmdir(const char* path);
  static int Chdir(const char* path);
  static int Unlink(const char* path);

  // Renames; a file replaces an existing target, a directory never does.
  // False when `from` does not exist, `to` is null, or the rename fails.
  static bool RenameFile(const char* from, const char* to);
  static bool CopyFile(const char* from, const char* to);
  // True when both files can be opened and hold the same bytes.
  static bool CompareBinaryFiles(const char* first, const char* second);
  // The same, reading CR LF and a lone CR as LF.
  static bool CompareTextFiles(const char* first, const char* second);

  // Empty on failure; a '/' is appended when asked for and missing.
  static std::string GetCurDir(bool trailingSeparator);
  // An empty or absolute path unchanged; otherwise the current directory,
  // '/' and the path, without normalisation.
  static std::string MakePathAbsolute(const char* path);
  static std::string GetHomeDir();
  static std::string GetTempDir();

  // Replaces a leading "$NAME" or "$(NAME)" by the variable's value. True
  // when the path does not start with '$' or was expanded; false, with the
  // path unchanged, for a bare "$", an empty name, a "$(" without its ")",
  // or a variable that is unset or empty. NAME without parentheses ends at
  // the first '/' (or, when there is none, the first '\').
  static bool PreProcessEnvVarInPath(std::string& path);

  // The new directory's path (no trailing separator), or empty after 32
  // failed attempts. The one-argument form creates it in GetTempDir().
  static std::string MkTempDir(const char* prefix);
  static std::string MkTempDir(const char* parent, const char* prefix);
  // The new, empty file's path, or empty after 32 failed attempts.
  static std::string MkTempFile(const char* directory, const char* prefix, const char* extension);

  // Deletes the directory and everything below it; true when the directory
  // itself was removed. A symbolic link is unlinked, never followed.
  static bool DeletePath(const std::string& directory);
  // Copies the file to "<path>.~N~": the first free N when count < 1, else
  // the first free N up to count, else rotates (backup 1 is the oldest and
  // is dropped; N+1 becomes N) and copies to N = count.
  static bool BackupFile(const std::string& path, int count);
  // Creates every missing directory of the path (of its directory part when
  // `isDirectory` is false). False for an empty path or at the first failure.
  static bool BuildPath(const std::string& path, bool isDirectory);
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_FILESYSTEM_H_
