#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "qmkutils/memory/mallocctrlregistry.h"

namespace {

class TestControl final : public du::GeneralMallocCtrl {
 public:
  explicit TestControl(const char* name) : GeneralMallocCtrl(name) {}
  void GetAllocationStats(unsigned* reserved, unsigned* inUse) const override {
    if (reserved != nullptr) *reserved = 1;
    if (inUse != nullptr) *inUse = 2;
  }
  void GetAllocationDetails(unsigned*, du::MallocBlockStat**, unsigned*,
                            du::MallocBlockStat**) const override {}
  void* Allocate(unsigned) override { return ShouldFailOnNextRequest() ? nullptr : this; }
  void Free(void*) override {}
};

class NameRecorder final : public du::MallocCtrlVisitor {
 public:
  std::vector<std::string> names;
  void Visit(du::HandOffMallocCtrl* c) override { names.push_back(c->GetName()); }
  void Visit(du::GeneralMallocCtrl* c) override { names.push_back(c->GetName()); }
  void Visit(du::FixedSizeMallocCtrl* c) override { names.push_back(c->GetName()); }
  void Visit(du::SystemMallocCtrl* c) override { names.push_back(c->GetName()); }
  void Visit(du::MallocCtrl* c) override { names.push_back(c->GetName()); }
};

template <class Call>
void ExpectLogicError(Call call, const char* text) {
  EXPECT_THAT(call, testing::ThrowsMessage<std::logic_error>(testing::StrEq(text)));
}

TEST(MallocCtrl, NamesFailSwitchCopiesAndBaseBodies) {
  TestControl unnamed(nullptr);
  EXPECT_STREQ(unnamed.GetName(), "<Unnamed Malloc Control>");
  const std::string longName(100, 'x');
  TestControl longOne(longName.c_str());
  EXPECT_EQ(std::string(longOne.GetName()), longName.substr(0, 63));

  longOne.SetFailOnNextRequest();
  EXPECT_EQ(longOne.Allocate(8), nullptr);
  EXPECT_EQ(longOne.Allocate(8), nullptr);  // the switch stays on
  const TestControl copy(longOne);
  EXPECT_TRUE(copy.ShouldFailOnNextRequest());
  EXPECT_EQ(du::MallocCtrlRegistry::Instance().GetIndex(const_cast<TestControl*>(&copy)), -1);
  longOne.ClearFailOnNextRequest();
  EXPECT_NE(longOne.Allocate(8), nullptr);

  NameRecorder visitor;
  ExpectLogicError(
      [&] { visitor.MallocCtrlVisitor::Visit(static_cast<du::SystemMallocCtrl*>(nullptr)); },
      "du::MallocCtrlVisitor::Visit(SystemMallocCtrl*) has not been overridden.");
  ExpectLogicError([&] { longOne.MallocCtrl::GetAllocationStats(nullptr, nullptr); },
                   "du::MallocCtrl::GetAllocationStats() has not been overridden.");
  ExpectLogicError(
      [&] { longOne.GeneralMallocCtrl::GetAllocationDetails(nullptr, nullptr, nullptr, nullptr); },
      "du::GeneralMallocCtrl::GetAllocationDetails() has not been overridden.");
}

TEST(MallocCtrlRegistry, RelationshipsGraphAndLeaving) {
  du::MallocCtrlRegistry& registry = du::MallocCtrlRegistry::Instance();
  TestControl a("graph supplier");
  auto* b = new TestControl("graph consumer");
  const unsigned ia = registry.GetIndex(&a);
  const unsigned ib = registry.GetIndex(b);
  for (int i = 0; i < 2; ++i) {
    const auto before = registry.GetLastChangeTime();
    registry.RegisterRelationship(&a, b);
    EXPECT_GT(registry.GetLastChangeTime(), before);
  }
  EXPECT_EQ(registry.GetConsumerCount(ia), 1);
  EXPECT_EQ(registry.GetConsumer(ia, 0), static_cast<int>(ib));
  EXPECT_EQ(registry.GetSupplierCount(ib), 1);
  EXPECT_EQ(registry.GetSupplier(ib, 1), -1);
  const std::string graph = du::FormatAllocatorGraph();
  const size_t below = graph.find("  graph consumer", graph.find("graph supplier"));
  ASSERT_NE(below, std::string::npos);
  EXPECT_NE(graph.find("general", below), std::string::npos);

  TestControl stranger("stranger");
  const TestControl unregistered(stranger);
  ExpectLogicError(
      [&] { registry.RegisterRelationship(const_cast<TestControl*>(&unregistered), b); },
      "MallocCtrlRegistry::RegisterRelationship() both supplier and consumer must be "
      "preregistered.");
  EXPECT_EQ(registry.GetSupplierCount(ib), 1);

  const unsigned count = registry.GetMallocCtrlCount();
  delete b;
  EXPECT_EQ(registry.GetConsumerCount(ia), 0);
  EXPECT_EQ(registry.GetMallocCtrl(ib), nullptr);
  EXPECT_EQ(registry.GetMallocCtrlCount(), count);
  EXPECT_EQ(registry.GetSupplierCount(count), -1);
}

TEST(MallocCtrlRegistry, VisitAllAcceptsConsumersBeforeSuppliers) {
  du::MallocCtrlRegistry& registry = du::MallocCtrlRegistry::Instance();
  // Created out of order so that index order differs from the walk.
  TestControl c("visit C");
  TestControl b("visit B");
  TestControl a("visit A");
  auto* gone = new TestControl("visit gone");
  registry.RegisterRelationship(&a, &b);
  registry.RegisterRelationship(&b, &c);
  registry.RegisterRelationship(&c, &a);  // a cycle must not loop
  registry.RegisterRelationship(&b, gone);
  delete gone;

  NameRecorder visitor;
  registry.VisitAll(&visitor);
  std::vector<std::string> ours;
  for (const std::string& name : visitor.names) {
    if (name.rfind("visit ", 0) == 0) ours.push_back(name);
  }
  // The walk starts at the lowest index (C): C's consumer A, then A's
  // consumer B; post-order accepts B, A, C.
  EXPECT_EQ(ours, (std::vector<std::string>{"visit B", "visit A", "visit C"}));
}

}  // namespace
