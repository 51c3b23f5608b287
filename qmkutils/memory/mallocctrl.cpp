#include "qmkutils/memory/mallocctrl.h"

#include <cstring>
#include <stdexcept>

#include "qmkutils/memory/internal/registryaccess.h"
#include "qmkutils/memory/mallocctrlregistry.h"

namespace du {
namespace {

void CopyName(char (&to)[MallocCtrl::NAME_LENGTH], const char* name) {
  if (name == nullptr) name = "<Unnamed Malloc Control>";
  const size_t length = strnlen(name, MallocCtrl::NAME_LENGTH - 1);
  memcpy(to, name, length);
  to[length] = '\0';
}

}  // namespace

MallocCtrl::MallocCtrl(const char* name) {
  CopyName(name_, name);
  MallocCtrlRegistry::Instance().Register(this);
}

MallocCtrl::MallocCtrl(const MallocCtrl& other)
    : failOnNextRequest_(other.ShouldFailOnNextRequest()) {
  memcpy(name_, other.name_, NAME_LENGTH);
}

MallocCtrl& MallocCtrl::operator=(const MallocCtrl& other) {
  if (this != &other) memcpy(name_, other.name_, NAME_LENGTH);
  failOnNextRequest_.store(other.ShouldFailOnNextRequest(), std::memory_order_relaxed);
  return *this;
}

MallocCtrl::~MallocCtrl() {
  // A control outliving the registry (a static one) has nothing to leave.
  if (MallocCtrlRegistry* registry = RegistryIfAlive()) registry->Unregister(this);
}

void MallocCtrl::Accept(MallocCtrlVisitor*) {
  throw std::logic_error("du::MallocCtrl::Accept(MallocCtrlVisitor*) has not been overridden.");
}

void MallocCtrl::GetAllocationStats(unsigned*, unsigned*) const {
  throw std::logic_error("du::MallocCtrl::GetAllocationStats() has not been overridden.");
}

void SystemMallocCtrl::Accept(MallocCtrlVisitor* visitor) { visitor->Visit(this); }
void FixedSizeMallocCtrl::Accept(MallocCtrlVisitor* visitor) { visitor->Visit(this); }
void GeneralMallocCtrl::Accept(MallocCtrlVisitor* visitor) { visitor->Visit(this); }
void HandOffMallocCtrl::Accept(MallocCtrlVisitor* visitor) { visitor->Visit(this); }

void FixedSizeMallocCtrl::GetAllocationDetails(unsigned*, unsigned*, unsigned*) const {
  throw std::logic_error(
      "du::FixedSizeMallocCtrl::GetAllocationDetails() has not been overridden.");
}

void GeneralMallocCtrl::GetAllocationDetails(unsigned*, MallocBlockStat**, unsigned*,
                                             MallocBlockStat**) const {
  throw std::logic_error("du::GeneralMallocCtrl::GetAllocationDetails() has not been overridden.");
}

MallocCtrlVisitor::~MallocCtrlVisitor() = default;

void MallocCtrlVisitor::Visit(MallocCtrl*) {
  throw std::logic_error("du::MallocCtrlVisitor::Visit(MallocCtrl*) has not been overridden.");
}
void MallocCtrlVisitor::Visit(SystemMallocCtrl*) {
  throw std::logic_error(
      "du::MallocCtrlVisitor::Visit(SystemMallocCtrl*) has not been overridden.");
}
void MallocCtrlVisitor::Visit(FixedSizeMallocCtrl*) {
  throw std::logic_error(
      "du::MallocCtrlVisitor::Visit(FixedSizeMallocCtrl*) has not been overridden.");
}
void MallocCtrlVisitor::Visit(GeneralMallocCtrl*) {
  throw std::logic_error(
      "du::MallocCtrlVisitor::Visit(GeneralMallocCtrl*) has not been overridden.");
}
void MallocCtrlVisitor::Visit(HandOffMallocCtrl*) {
  throw std::logic_error(
      "du::MallocCtrlVisitor::Visit(HandOffMallocCtrl*) has not been overridden.");
}

}  // namespace du
