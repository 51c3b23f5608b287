// The descendants of a process, read from /proc. Internal; not installed.
#ifndef QMKUTILS_PLATFORM_INTERNAL_PROCESSTREE_H_
#define QMKUTILS_PLATFORM_INTERNAL_PROCESSTREE_H_

#include <vector>

namespace dp::proctree {

enum class Failure { kNone, kOpen, kRead };

// `root` and every process descended from it through the parent ids of one
// pass over /proc, each parent before its children. On failure, empty with
// `failure` saying whether /proc could not be opened or not be read, and
// errno set.
std::vector<int> Collect(int root, Failure& failure);

}  // namespace dp::proctree

#endif  // QMKUTILS_PLATFORM_INTERNAL_PROCESSTREE_H_
