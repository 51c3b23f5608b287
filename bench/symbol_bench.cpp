// Interned symbols against the containers an application would use instead:
// absl's hash sets for interning, std::string for copying and comparing.
//
// Results (g++ 12 -O2, 2-core x86-64 VM, median of 5 repetitions, while
// nothing else ran), from
//   cmake --build build-bench --target qmk_symbol_bench &&
//   build-bench/bench/qmk_symbol_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
//
// Interning a text already in the table (1000 texts of 18-28 characters),
// made and dropped, against a lookup in absl::flat_hash_set<string_view>:
//   BM_InternHit/real_time/threads:1                  18.4 ns
//   BM_FlatHashSetLookup/real_time/threads:1          20.0 ns   InternHit 0.92x
// Two threads interning the same texts (time per operation of the two; half
// the one-thread figure is perfect scaling). Each hit changes its record's
// count, so the records' cache lines move between the cores, and the figure
// is bimodal from run to run (18.7 or 46.3 ns); a set lookup only reads:
//   BM_InternHit/real_time/threads:2                  46.3 ns
//   BM_FlatHashSetLookup/real_time/threads:2          10.3 ns   InternHit 1.8-4.5x
// Interning a text that is not there and dropping it (an insertion and a
// removal) against absl::node_hash_set<std::string> emplace + erase:
//   BM_InternMiss                                     74.7 ns
//   BM_NodeHashSetInsertErase                         56.8 ns   InternMiss 1.32x
// Copying and dropping, and comparing, a 26-character name:
//   BM_SymbolCopy                                     5.51 ns
//   BM_StringCopy                                     18.7 ns   SymbolCopy 0.29x
//   BM_SymbolEquals                                   1.02 ns
//   BM_StringEquals                                   4.08 ns   SymbolEquals 0.25x

#include <absl/container/flat_hash_set.h>
#include <absl/container/node_hash_set.h>
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "qmkutils/utilities/symbol.h"

namespace {

constexpr int kTexts = 1000;

// Identifier-like texts of 18 to 28 characters, as message fields and
// attribute names are.
const std::vector<std::string>& Texts(const char* prefix) {
  static std::vector<std::string> s_texts[2];
  std::vector<std::string>& chosen = s_texts[prefix[0] == 'm'];
  if (chosen.empty()) {
    for (int i = 0; i < kTexts; ++i) {
      chosen.push_back(std::string(prefix) + ".attribute." + std::to_string(i * 7919));
    }
  }
  return chosen;
}

// Interning a text that is in the table: make the symbol and drop it.
void BM_InternHit(benchmark::State& state) {
  static std::vector<du::Symbol> s_held;
  if (state.thread_index() == 0 && s_held.empty()) {
    for (const std::string& text : Texts("hit")) s_held.emplace_back(text);
  }
  const auto& texts = Texts("hit");
  std::size_t i = state.thread_index() * 101;
  for (auto _ : state) {
    const du::Symbol symbol(texts[i++ % kTexts].c_str());
    benchmark::DoNotOptimize(symbol.GetId());
  }
}
BENCHMARK(BM_InternHit)->ThreadRange(1, 2)->UseRealTime();

void BM_FlatHashSetLookup(benchmark::State& state) {
  static const absl::flat_hash_set<std::string_view> s_set(Texts("hit").begin(),
                                                           Texts("hit").end());
  const auto& texts = Texts("hit");
  std::size_t i = state.thread_index() * 101;
  for (auto _ : state) {
    auto found = s_set.find(std::string_view(texts[i++ % kTexts].c_str()));
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_FlatHashSetLookup)->ThreadRange(1, 2)->UseRealTime();

// Interning a text that is not in the table, then dropping it: an insertion
// and a removal.
void BM_InternMiss(benchmark::State& state) {
  const auto& texts = Texts("miss");
  std::size_t i = 0;
  for (auto _ : state) {
    const du::Symbol symbol(texts[i++ % kTexts].c_str());
    benchmark::DoNotOptimize(symbol.GetId());
  }
}
BENCHMARK(BM_InternMiss);

void BM_NodeHashSetInsertErase(benchmark::State& state) {
  const auto& texts = Texts("miss");
  absl::node_hash_set<std::string> set;
  set.reserve(2 * kTexts);
  std::size_t i = 0;
  for (auto _ : state) {
    auto inserted = set.emplace(texts[i++ % kTexts].c_str()).first;
    benchmark::DoNotOptimize(&*inserted);
    set.erase(inserted);
  }
}
BENCHMARK(BM_NodeHashSetInsertErase);

// Copying and dropping a 26-character name.
void BM_SymbolCopy(benchmark::State& state) {
  const du::Symbol original("message.field.return.addr");
  for (auto _ : state) {
    du::Symbol copy(original);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_SymbolCopy);

void BM_StringCopy(benchmark::State& state) {
  const std::string original("message.field.return.addr");
  for (auto _ : state) {
    std::string copy(original);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_StringCopy);

// Comparing two equal names s_held in different objects.
void BM_SymbolEquals(benchmark::State& state) {
  du::Symbol a("message.field.return.addr");
  du::Symbol b(std::string("message.field.return.addr"));
  for (auto _ : state) {
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    benchmark::DoNotOptimize(a == b);
  }
}
BENCHMARK(BM_SymbolEquals);

void BM_StringEquals(benchmark::State& state) {
  std::string a("message.field.return.addr");
  std::string b("message.field.return.addr");
  for (auto _ : state) {
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    benchmark::DoNotOptimize(a == b);
  }
}
BENCHMARK(BM_StringEquals);

}  // namespace
