#include "alloc_command.h"

#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/memory/mallocctrlregistry.h"

namespace qmk {
namespace {

struct Node : du::CommonAllocated {
  explicit Node(int value) : value(value) {}
  int value;
  char payload[40] = {};
};

void PrintGraph(const char* title) {
  unsigned reserved = 0;
  unsigned inUse = 0;
  du::CommonAllocatorImpl::GetPool().GetAllocationStats(&reserved, &inUse);
  std::printf("%s (the common pool holds %u bytes for its callers)\n%s\n", title, inUse,
              du::FormatAllocatorGraph().c_str());
}

}  // namespace

int RunAllocCommand(int argc, char** argv) {
  bool keep = false;
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "qmk alloc: unknown option '%s'\n", argv[i]);
      return 2;
    }
  }

  std::vector<std::pair<void*, unsigned>> blocks;
  for (unsigned i = 0; i < 4000; ++i) {
    const unsigned size = i % 50 == 0 ? 20000 + i : 8 + (i * 37) % 2000;
    blocks.emplace_back(du::CommonAllocatorImpl::Allocate(size, nullptr), size);
  }
  std::vector<Node*> nodes;
  for (int i = 0; i < 2000; ++i) nodes.push_back(new Node(i));
  std::map<int, std::string, std::less<>, du::CommonAllocator<std::pair<const int, std::string>>>
      names;
  for (int i = 0; i < 500; ++i) names.emplace(i, "name " + std::to_string(i));

  PrintGraph("While the workload's blocks are live");
  if (keep) return 0;

  for (const auto& [block, size] : blocks) du::CommonAllocatorImpl::Deallocate(block, size);
  for (Node* node : nodes) delete node;
  names.clear();
  du::CommonAllocatorImpl::PurgeEmptyBlocks();
  PrintGraph("After freeing everything and purging empty blocks");
  return 0;
}

}  // namespace qmk
