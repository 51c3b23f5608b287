#include "qmkutils/utilities/symbol.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "qmkutils/memory/commonallocator.h"
#include "support/child_process.h"
#include "support/recording_consumer.h"
#include "support/run_threads.h"
#include "support/sanitizers.h"

namespace {

using du::Symbol;

// The table's item and bucket counts, as DumpStats reports them.
struct TableSize {
  int items = -1;
  int buckets = -1;
};

TableSize ReadTableSize(std::vector<std::string>* lines = nullptr) {
  const qmk_test::ScopedTraceRecorder recorder;
  Symbol::DumpStats();
  TableSize size;
  for (const auto& record : recorder.log().Records()) {
    if (record.key != "du" || record.subKey != "Symbol") continue;
    if (lines != nullptr) lines->push_back(record.text);
    std::sscanf(record.text.c_str(), "Items   in table %d.", &size.items);
    std::sscanf(record.text.c_str(), "Buckets in table %d.", &size.buckets);
  }
  return size;
}

TEST(SymbolTest, EqualTextsShareOneRecordAndEmptySymbolsAgree) {
  const Symbol a("abc");
  EXPECT_EQ(a.GetId(), Symbol(std::string("abc")).GetId());
  EXPECT_NE(a, Symbol("abd"));
  EXPECT_TRUE(a == "abc" && "abc" == a && a == std::string("abc"));
  EXPECT_FALSE(a == "ab" || a == "abcd");

  const Symbol null, interned("");
  Symbol assigned("x");
  assigned = std::string();
  EXPECT_TRUE(null == interned && interned == assigned && null == assigned);
  EXPECT_TRUE(!null && interned && !assigned && Symbol(std::string()));
  EXPECT_TRUE(null.c_str() == nullptr && assigned.c_str() == nullptr);
  EXPECT_STREQ(interned.c_str(), "");
  EXPECT_STREQ(null.safe_c_str(), "");
  EXPECT_TRUE(null.GetId() == 0 && interned.GetId() != 0);
  assigned = "y";
  assigned = static_cast<const char*>(nullptr);
  EXPECT_FALSE(assigned);

  // Text stops at the first NUL, whichever way it is given.
  EXPECT_EQ(Symbol(std::string("ab\0c", 4)), Symbol("ab"));
  EXPECT_EQ(Symbol(std::string_view("ab\0c", 4)), Symbol("ab"));
  EXPECT_EQ(Symbol(std::string_view("abcdef", 3)), Symbol("abc"));
}

TEST(SymbolTest, OutOfRangeSearchesAndStreams) {
  const Symbol abc("abc");
  EXPECT_EQ(abc.substr(5, 1), "");
  EXPECT_EQ(abc.substr(1, 5), "bc");
  EXPECT_TRUE(abc[3] == '\0' && abc[1000] == '\0' && Symbol()[0] == '\0');
  EXPECT_EQ(Symbol("banana").rfind('a', 100), 5U);
  EXPECT_EQ(Symbol().rfind('a', 100), std::string::npos);

  std::ostringstream out;
  out << abc << '|' << Symbol() << '|' << Symbol("");
  EXPECT_EQ(out.str(), "abc||");
  std::istringstream in("  word rest"), empty;
  Symbol read("old");
  in >> read;
  EXPECT_EQ(read, "word");
  read.Read(empty);

  EXPECT_FALSE(read);  // nothing read: assigned as an empty std::string
}

TEST(SymbolTest, WorksAsKeyOfStandardContainers) {
  // Bytes compare as unsigned; null sorts as "".
  const std::set<Symbol> ordered = {"b", "\xff", "a", "", Symbol(), "ab"};
  EXPECT_EQ(std::vector<std::string>(ordered.begin(), ordered.end()),
            (std::vector<std::string>{"", "a", "ab", "b", "\xff"}));
  const std::unordered_set<Symbol> hashed = {"x", "y", "x", "", Symbol()};
  EXPECT_EQ(hashed.size(), 3U);  // the two empty symbols are one key

  std::map<du::DualSymbol, int> pairs;
  pairs[{"a", "b"}] = 1;
  pairs[{std::string("a"), std::string("b")}] += 1;
  pairs[du::DualSymbol(Symbol("a"), Symbol())] = 5;
  EXPECT_EQ(pairs.size(), 2U);
  EXPECT_EQ((pairs[{"a", "b"}]), 2);
  EXPECT_TRUE(du::DualSymbol(nullptr, "").empty() && !du::DualSymbol(nullptr, "z").empty());
}

TEST(SymbolTest, RecordsLiveExactlyAsLongAsTheyAreHeldAndFailedAllocationsChangeNothing) {
  const TableSize before = ReadTableSize();
  {
    Symbol a("assign-one");
    Symbol b = a;
    const Symbol& alias = b;
    b = alias;  // self-assignment changes nothing
    a = "assign-two";
    EXPECT_EQ(b, "assign-one");
    Symbol c(std::move(b));
    EXPECT_FALSE(b);  // NOLINT(bugprone-use-after-move): moved-from is null
    EXPECT_EQ(ReadTableSize().items, before.items + 2);
    c.clear();
    EXPECT_EQ(ReadTableSize().items, before.items + 1);

    du::CommonAllocatorImpl::GetPool().SetFailOnNextRequest();
    EXPECT_THROW(a = "a text never interned before", std::bad_alloc);
    du::CommonAllocatorImpl::GetPool().ClearFailOnNextRequest();
    EXPECT_EQ(a, "assign-two");
    EXPECT_EQ(ReadTableSize().items, before.items + 1);
  }
  EXPECT_EQ(ReadTableSize().items, before.items);
}

TEST(SymbolTest, TableGrowsThroughThePrimesAndStatisticsAddUp) {
  std::vector<std::string> lines;
  const TableSize before = ReadTableSize(&lines);
  ASSERT_EQ(before.buckets, 1543);

  EXPECT_EQ(lines.at(0), "du::Symbol statistics.\n");
  EXPECT_EQ(lines.at(1), "=====================.\n");
  EXPECT_EQ(lines.at(5), "BucketUsage details\n");
  EXPECT_EQ(lines.at(7), "Elems in Bucket | Number of buckets | Elems in buckets of this size\n");

  std::vector<Symbol> held;
  for (int i = 0; held.size() + before.items < 2000; ++i)
    held.emplace_back("grow-" + std::to_string(i));
  lines.clear();
  const TableSize grown = ReadTableSize(&lines);
  EXPECT_EQ(grown.items, 2000);
  EXPECT_EQ(grown.buckets, 3079);
  // The chain-length rows add up to the totals row.
  unsigned buckets = 0, items = 0;
  for (const std::string& line : lines) {
    unsigned k, c, ck;
    if (std::sscanf(line.c_str(), "%u |%u | %u", &k, &c, &ck) == 3) {
      EXPECT_EQ(ck, c * k);
      buckets += c;
      items += ck;
    }
  }
  EXPECT_EQ(buckets, 3079U);
  EXPECT_EQ(items, 2000U);
  char totals[100];
  std::snprintf(totals, sizeof totals, "Totals          |%18u | %29u\n", 3079U, 2000U);
  EXPECT_NE(std::find(lines.begin(), lines.end(), totals), lines.end());

  held.clear();
  const TableSize after = ReadTableSize();
  EXPECT_TRUE(after.items == before.items && after.buckets == 3079) << "never shrinks";
}

// Threads intern, copy and drop a few shared texts, so that last releases
// race with re-interning of the same text; every live symbol must keep a
// valid record, and the table must end as it started.
TEST(SymbolRace, InterningCopyingAndDroppingTheSameTexts) {
  const TableSize before = ReadTableSize();
  constexpr int kThreads = 8, kRounds = 20000;
  const char* const texts[] = {"race-a", "race-b", "race-c", "race-d"};
  std::atomic<int> mismatches{0};
  qmk_test::RunThreads(kThreads, [&](int t) {
    for (int round = 0; round < kRounds; ++round) {
      const char* text = texts[(round + t) % 4];
      Symbol interned(text);
      Symbol copy = interned;
      const Symbol again(std::string{text});
      if (copy != again || again.GetId() != interned.GetId() || copy != text) ++mismatches;
      if (round % 3 == 0) copy = texts[round % 4];
    }
  });
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(ReadTableSize().items, before.items);
}

// Lock-free lookups of held texts while other threads fill and empty the
// table: the index is rebuilt and unlinked records are freed in batches
// meanwhile, and a lookup must never reach a freed record or miss a held one.
TEST(SymbolRace, LookupsWhileTheIndexIsRebuiltAndRecordsAreFreed) {
  const TableSize before = ReadTableSize();
  std::vector<Symbol> held;
  for (int i = 0; i < 64; ++i) held.emplace_back("held-" + std::to_string(i));
  constexpr int kChurners = 3, kReaders = 3;
  std::atomic<int> churning{kChurners};
  std::atomic<int> mismatches{0};
  qmk_test::RunThreads(kChurners + kReaders, [&](int t) {
    if (t < kChurners) {
      std::vector<Symbol> batch;
      for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 500; ++i)
          batch.emplace_back("churn-" + std::to_string(t) + "-" + std::to_string(i));
        batch.clear();
      }
      --churning;
      return;
    }
    for (int i = 0; churning.load(std::memory_order_relaxed) > 0; ++i) {
      const int which = (i + t - kChurners) % 64;
      const Symbol found("held-" + std::to_string(which));
      if (found.GetId() != held[which].GetId()) ++mismatches;
    }
  });
  EXPECT_EQ(mismatches.load(), 0);
  held.clear();
  EXPECT_EQ(ReadTableSize().items, before.items);
}

// A child forked while other threads intern can intern and drop texts itself.
TEST(SymbolRace, ChildForkedAmidInterningCanIntern) {
#if defined(QMK_TEST_ADDRESS_SANITIZER)
  GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
#endif
#if defined(QMK_TEST_THREAD_SANITIZER)
  constexpr int kChildren = 4;  // every fork of a busy process is slow there
#else
  constexpr int kChildren = 20;
#endif
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        const Symbol symbol("fork-" + std::to_string(t) + "-" + std::to_string(i % 700));
      }
    });
  }
  for (int round = 0; round < kChildren; ++round) {
    const pid_t pid = fork();
    if (pid == 0) {
      std::vector<Symbol> made;
      for (int i = 0; i < 1000; ++i) made.emplace_back("child-" + std::to_string(i));
      made.clear();
      _exit(Symbol("child-1") == "child-1" ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    EXPECT_EQ(qmk_test::Reap(pid, std::chrono::seconds(30)), 0);
  }
  stop = true;
  for (auto& thread : threads) thread.join();
}

}  // namespace
