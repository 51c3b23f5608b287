// `qmk alloc`: what the allocation registry shows.
//
// Runs a short mixed workload through the common allocator (small and large
// blocks, standard containers, objects of a class that allocates from it),
// prints the allocator graph while the blocks are live, then frees them,
// purges the pools' empty blocks and prints the graph again, so the figures
// show memory going back. `--keep` skips the freeing.
#ifndef QMKUTILS_TOOLS_ALLOC_COMMAND_H_
#define QMKUTILS_TOOLS_ALLOC_COMMAND_H_

namespace qmk {

// Returns the exit status: 0, or 2 for bad options.
int RunAllocCommand(int argc, char** argv);

}  // namespace qmk

#endif  // QMKUTILS_TOOLS_ALLOC_COMMAND_H_
