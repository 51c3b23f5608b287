#include <algorithm>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "qmkutils/memory/mallocctrlregistry.h"

namespace du {
namespace {

class KindOf final : public MallocCtrlVisitor {
 public:
  const char* kind = "control";

  void Visit(HandOffMallocCtrl*) override { kind = "pool"; }
  void Visit(GeneralMallocCtrl*) override { kind = "general"; }
  void Visit(FixedSizeMallocCtrl*) override { kind = "fixed-size"; }
  void Visit(SystemMallocCtrl*) override { kind = "system"; }
  void Visit(MallocCtrl*) override {}
};

// The longest chain of suppliers above `index`; a cycle counts once.
int Level(MallocCtrlRegistry& registry, unsigned index, std::vector<int>& levels) {
  if (levels[index] >= 0) return levels[index];
  levels[index] = 0;  // a cycle back here stops at this level
  int level = 0;
  const int suppliers = registry.GetSupplierCount(index);
  for (int n = 0; n < suppliers; ++n) {
    const auto supplier = static_cast<unsigned>(registry.GetSupplier(index, n));
    if (registry.GetMallocCtrl(supplier) != nullptr) {
      level = std::max(level, Level(registry, supplier, levels) + 1);
    }
  }
  return levels[index] = level;
}

void AppendControl(MallocCtrlRegistry& registry, unsigned index, int level, std::string& out) {
  MallocCtrl* control = registry.GetMallocCtrl(index);
  KindOf kind;
  control->Accept(&kind);
  unsigned reserved = 0;
  unsigned inUse = 0;
  control->GetAllocationStats(&reserved, &inUse);
  std::string suppliers;
  const int count = registry.GetSupplierCount(index);
  for (int n = 0; n < count && n < 3; ++n)
    suppliers += " #" + std::to_string(registry.GetSupplier(index, n));
  if (count > 3) suppliers += " +" + std::to_string(count - 3);
  char line[256];
  (void)snprintf(line, sizeof line, "%4u %*s%-*s %-10s %12u %12u %s\n", index, 2 * level, "",
                 std::max(48 - 2 * level, 0), control->GetName(), kind.kind, reserved, inUse,
                 suppliers.empty() ? "-" : suppliers.c_str() + 1);
  out += line;
}

}  // namespace

std::string FormatAllocatorGraph() {
  MallocCtrlRegistry& registry = MallocCtrlRegistry::Instance();
  std::shared_lock guard(registry.GetLock());
  char header[128];
  (void)snprintf(header, sizeof header, "%4s %-48s %-10s %12s %12s %s\n", "#", "allocator", "kind",
                 "reserved", "in use", "supplied by");
  std::string out = header;
  const unsigned count = registry.GetMallocCtrlCount();
  std::vector<int> levels(count, -1);
  int deepest = 0;
  for (unsigned index = 0; index < count; ++index) {
    if (registry.GetMallocCtrl(index) != nullptr) {
      deepest = std::max(deepest, Level(registry, index, levels));
    }
  }
  // Level by level, so every supplier stands above its consumers.
  for (int level = 0; level <= deepest; ++level) {
    for (unsigned index = 0; index < count; ++index) {
      if (levels[index] == level && registry.GetMallocCtrl(index) != nullptr) {
        AppendControl(registry, index, level, out);
      }
    }
  }
  return out;
}

}  // namespace du
