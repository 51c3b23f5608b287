// Message queues and messages.
//
// Throughput: 1 or 2 producer threads add pre-built messages (200 000 per
// iteration in all) into one queue whose consumer thread runs the queue's
// loop and counts what its handler receives; per-message cost is the
// iteration's time over 200 000. Peers: boost::lockfree::queue (Boost 1.74)
// with the same one-signal-per-sleep dp::Semaphore wake-up, and moodycamel's
// BlockingConcurrentQueue (Debian's 1.0.3) with its own semaphore. Every
// variant holds a counted reference per queued message, as ours does.
//
// Ping-pong: two threads pass one message back and forth through two
// GenericMessageQueues (PendMessage on each side), against the same round
// trip through two dp::Semaphores and two std::counting_semaphores.
//
// Message: build a message of ten mixed arguments (two strings), finalise,
// rewind and read them all back; time per message.
//
// Retained nodes: one burst of 10^6 messages into a queue, drained; the
// counter is the nodes the queues' free stack and retired lists keep.
//
// Results (g++ 12 -O2, 2-core x86-64 VM shared with other builds, load
// average 2.7 to 3.6 during these runs, never below 2 all day; medians of 5
// repetitions per run, three runs), from
//   ninja -C build qmk_messaging_bench &&
//   build/bench/qmk_messaging_bench --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true
//
// Throughput, per message, the three runs (ours / peer):
//   BM_Throughput<OurQueue>/1         108 / 208 / 210 ns
//   BM_Throughput<BoostQueue>/1       236 / 234 / 232 ns  ours 0.46 / 0.89 / 0.90
//   BM_Throughput<MoodycamelQueue>/1  237 / 116 /  97 ns  ours 0.46 / 1.79 / 2.16
//   BM_Throughput<OurQueue>/2         126 / 240 / 150 ns
//   BM_Throughput<BoostQueue>/2       202 / 193 / 193 ns  ours 0.62 / 1.24 / 0.78
//   BM_Throughput<MoodycamelQueue>/2   72 /  87 /  86 ns  ours 1.74 / 2.75 / 1.75
// Every figure swings with the other builds on the machine (at load 2.4 to
// 3.1 on another day: ours 75 - 93 ns, boost 0.36 - 1.17, moodycamel
// 1.11 - 1.61). Run alternately in one sitting, the queue as it was before
// its owner watched it and as it is now gave the same figures (431 / 414 and
// 210 / 191 ns with one producer, 170 / 172 and 154 / 153 ns with two).
// Boost's goal is met, moodycamel's is not: its producers fill blocks of
// their own and its consumer takes them in bulk, where ours moves one node
// per message between the cores (node, tail and service count, size: the
// remaining time is cache misses on those lines).
//
// Ping-pong round trip: bimodal, by whether the sides sleep at each turn.
// Both sleeping (two futex calls per hop, like the semaphores), load 2.3
// to 3.3:
//   BM_PingPongQueues / BM_PingPongSemaphores<dp::Semaphore>
//   17340 / 15112, 17646 / 15951 ns: ours 1.15, 1.11
// (at load 3.3 to 3.6 with a second spin on the semaphore after the
// owner's own, since removed: 1.17 to 1.23; before the owner watched the
// queue: 1.05, 1.06). Neither side sleeping (CPU time equals real time),
// load 2.0 to 2.4: 1452 / 721, 1422 / 720, 1498 / 410, 1423 / 415 ns: ours
// 2.0 and 3.5 (the semaphores' own figure moves between 410 and 720 ns
// with the cores the VM gets); it was 3.3 (1477 / 444) before. The goal of
// 1.2 is not met there. The owner now watches the queue for as long as the
// semaphore would spin and takes what arrives without a signal, so no
// semaphore is touched and no system call made (perf); what is left is the
// cache-line transfers of an add (tail and service count, size, the
// recycled node, the message's count, the previous node's link) and of a
// removal against the semaphore's one counter. Mixed runs, one side
// spinning and the other sleeping, give anything from 0.07 to 3.8.
//
// Message of ten arguments built, finalised and read back: 177 - 181 ns
// (CPU time).
// One allocation of the common allocator per message (the message itself:
// its first 256 bytes live inside it); reading the 17-character string
// allocates once more, in std::string.
//
// Retained nodes after the burst of 10^6 (no consumer until all were
// added): 1.41M - 1.54M, the burst's peak plus the nodes of the benchmarks
// before it. Nodes are recycled, never returned before exit: 32 bytes
// each, about 45 MB here.
#include <benchmark/benchmark.h>
#include <concurrentqueue/blockingconcurrentqueue.h>

#include <atomic>
#include <boost/lockfree/queue.hpp>
#include <semaphore>
#include <thread>
#include <vector>

#include "qmkutils/messaging/genericmessagequeue.h"
#include "qmkutils/messaging/message.h"
#include "qmkutils/messaging/messagehandler.h"
#include "qmkutils/platform/locks.h"

namespace {

using dom::Message;
using dom::MessagePtr;

constexpr int kMessagesPerIteration = 200000;

// Counts deliveries and opens `done` when the expected number arrived.
class CountingHandler : public dom::MessageHandler {
 public:
  void HandleMessage(const MessagePtr&) override {
    if (++received_ == expected_.load(std::memory_order_acquire)) done_.release();
  }
  void HandleShutdown() override {}
  void HandleTimeout(long long) override {}
  void Expect(long long count) {
    received_ = 0;
    expected_.store(count, std::memory_order_release);
  }
  void WaitDone() { done_.acquire(); }

 private:
  long long received_ = 0;  // the consumer's
  std::atomic<long long> expected_{0};
  std::binary_semaphore done_{0};
};

std::vector<MessagePtr> PrebuiltMessages(int count) {
  std::vector<MessagePtr> messages;
  messages.reserve(count);
  for (int i = 0; i < count; ++i) {
    MessagePtr message(new Message(static_cast<unsigned>(i), 0, 1, 8));
    message->PushInt32Value(i);
    message->FinaliseMessage();
    messages.push_back(message);
  }
  return messages;
}

struct OurQueue {
  dom::MessageQueuePtr queue{new dom::GenericMessageQueue};
  CountingHandler handler;
  std::thread consumer;

  OurQueue() {
    handler.SetMessageQueue(queue);
    consumer = std::thread([this] {
      queue->RunMessageLoop();
      dom::MessageQueue::ThreadRelinquishInterest();
    });
  }
  ~OurQueue() {
    queue->ShutdownQueue(dom::MessageQueue::kShutdownGently);
    consumer.join();
    handler.SetMessageQueue(nullptr);
  }
  void Expect(long long count) { handler.Expect(count); }
  void Add(const MessagePtr& message) { queue->AddMessage(message); }
  void WaitDone() { handler.WaitDone(); }
  static void ProducerEnds() { dom::MessageQueue::ThreadRelinquishInterest(); }
};

// Raw pointers with a counted reference taken on add and dropped after
// handling; the consumer sleeps on a semaphore that producers signal once
// per sleep, like our queue.
struct BoostQueue {
  boost::lockfree::queue<Message*> queue{1024};
  dp::Semaphore wakeup{0};
  std::atomic<int> needWakeup{1};
  std::atomic<bool> stop{false};
  std::atomic<long long> expected{0};
  std::binary_semaphore done{0};
  std::thread consumer;

  BoostQueue() {
    consumer = std::thread([this] {
      long long received = 0;
      while (!stop.load(std::memory_order_acquire)) {
        Message* message;
        while (queue.pop(message)) {
          du::RefCounted::Release(message);
          if (++received == expected.load(std::memory_order_acquire)) {
            received = 0;
            done.release();
          }
        }
        wakeup.Wait(0);
        needWakeup.store(1, std::memory_order_seq_cst);
      }
    });
  }
  ~BoostQueue() {
    stop.store(true, std::memory_order_release);
    wakeup.Signal();
    consumer.join();
  }
  void Expect(long long count) { expected.store(count, std::memory_order_release); }
  void Add(const MessagePtr& message) {
    message->AddReference();
    queue.push(message.Get());
    if (needWakeup.exchange(0, std::memory_order_acq_rel) > 0) wakeup.Signal();
  }
  void WaitDone() { done.acquire(); }
  static void ProducerEnds() {}
};

struct MoodycamelQueue {
  moodycamel::BlockingConcurrentQueue<Message*> queue;
  std::atomic<long long> expected{0};
  std::binary_semaphore done{0};
  std::thread consumer;

  MoodycamelQueue() {
    consumer = std::thread([this] {
      long long received = 0;
      for (;;) {
        Message* message;
        queue.wait_dequeue(message);
        if (message == nullptr) return;
        du::RefCounted::Release(message);
        if (++received == expected.load(std::memory_order_acquire)) {
          received = 0;
          done.release();
        }
      }
    });
  }
  ~MoodycamelQueue() {
    queue.enqueue(nullptr);
    consumer.join();
  }
  void Expect(long long count) { expected.store(count, std::memory_order_release); }
  void Add(const MessagePtr& message) {
    message->AddReference();
    queue.enqueue(message.Get());
  }
  void WaitDone() { done.acquire(); }
  static void ProducerEnds() {}
};

template <class Queue>
void BM_Throughput(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  const int perProducer = kMessagesPerIteration / producers;
  std::vector<std::vector<MessagePtr>> messages;
  for (int p = 0; p < producers; ++p) messages.push_back(PrebuiltMessages(perProducer));
  Queue queue;
  for (auto _ : state) {
    queue.Expect(static_cast<long long>(perProducer) * producers);
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([&, p] {
        for (const MessagePtr& message : messages[p]) queue.Add(message);
        Queue::ProducerEnds();
      });
    }
    for (auto& thread : threads) thread.join();
    queue.WaitDone();
  }
  state.counters["per_message"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * perProducer * producers,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_TEMPLATE(BM_Throughput, OurQueue)
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Throughput, BoostQueue)
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Throughput, MoodycamelQueue)
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_PingPongQueues(benchmark::State& state) {
  dom::MessageQueuePtr ping(new dom::GenericMessageQueue);
  dom::MessageQueuePtr pong(new dom::GenericMessageQueue);
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      MessagePtr message = ping->PendMessage(0);
      if (stop.load(std::memory_order_relaxed) || !message) break;
      pong->AddMessage(message);
    }
    dom::MessageQueue::ThreadRelinquishInterest();
  });
  MessagePtr ball(new Message);
  for (auto _ : state) {
    ping->AddMessage(ball);
    ball = pong->PendMessage(0);
  }
  stop = true;
  ping->AddMessage(ball);
  partner.join();
  dom::MessageQueue::ThreadRelinquishInterest();
}
BENCHMARK(BM_PingPongQueues)->UseRealTime();

template <class Semaphore>
void BM_PingPongSemaphores(benchmark::State& state) {
  Semaphore ping{0};
  Semaphore pong{0};
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      if constexpr (std::is_same_v<Semaphore, dp::Semaphore>) {
        ping.Wait(0);
      } else {
        ping.acquire();
      }
      if (stop.load(std::memory_order_relaxed)) return;
      if constexpr (std::is_same_v<Semaphore, dp::Semaphore>) {
        pong.Signal();
      } else {
        pong.release();
      }
    }
  });
  for (auto _ : state) {
    if constexpr (std::is_same_v<Semaphore, dp::Semaphore>) {
      ping.Signal();
      pong.Wait(0);
    } else {
      ping.release();
      pong.acquire();
    }
  }
  stop = true;
  if constexpr (std::is_same_v<Semaphore, dp::Semaphore>) {
    ping.Signal();
  } else {
    ping.release();
  }
  partner.join();
}
BENCHMARK_TEMPLATE(BM_PingPongSemaphores, dp::Semaphore)->UseRealTime();
BENCHMARK_TEMPLATE(BM_PingPongSemaphores, std::counting_semaphore<0x7FFFFFFF>)->UseRealTime();

void BM_MessageTenArguments(benchmark::State& state) {
  const std::string text = "a string argument";
  for (auto _ : state) {
    MessagePtr message(new Message(42, 3, 7, 64));
    message->PushInt32Value(1);
    message->PushStringValue(text);
    message->PushDoubleValue(2.5);
    message->PushBooleanValue(true);
    message->PushInt16Value(-3);
    message->PushUInt64Value(4);
    message->PushStringValue("short");
    message->PushFloatValue(1.5F);
    message->PushUInt8Value(5);
    message->PushUInt32Value(6);
    message->FinaliseMessage();
    message->RewindArgumentOffset(0);
    int i32;
    std::string s1, s2;
    double d;
    bool b;
    short i16;
    unsigned long long u64;
    float f;
    unsigned char u8;
    unsigned u32;
    bool ok = message->GetInt32Value(i32) && message->GetStringValue(s1) &&
              message->GetDoubleValue(d) && message->GetBooleanValue(b) &&
              message->GetInt16Value(i16) && message->GetUInt64Value(u64) &&
              message->GetStringValue(s2) && message->GetFloatValue(f) &&
              message->GetUInt8Value(u8) && message->GetUInt32Value(u32);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(s1.data());
  }
}
BENCHMARK(BM_MessageTenArguments);

void BM_RetainedNodesAfterBurst(benchmark::State& state) {
  constexpr int kBurst = 1000000;
  MessagePtr message(new Message);
  for (auto _ : state) {
    dom::MessageQueuePtr queue(new dom::GenericMessageQueue);
    for (int i = 0; i < kBurst; ++i) queue->AddMessage(message);
    while (queue->QueueSize() != 0) queue->PollMessage();
  }
  dom::MessageQueue::ThreadRelinquishInterest();
  state.counters["retained_nodes"] = dom::MessageQueue::RetainedNodeCount();
}
BENCHMARK(BM_RetainedNodesAfterBurst)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
