#include "qelkit/common/thread.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Fields set before start() and read after join(), as the worker threads do.
class Doubler : public qelkit::Thread {
 public:
  std::vector<int> input;
  std::vector<int> output;

 protected:
  void run() override {
    for (int v : input) output.push_back(v * 2);
  }
};

// Signals its destruction, so a test can see when the object really dies.
class Sleeper : public qelkit::Thread {
 public:
  explicit Sleeper(std::shared_ptr<std::atomic<int>> state) : state_(std::move(state)) {}
  ~Sleeper() override { state_->store(2); }

 protected:
  void run() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    state_->store(1);
  }

 private:
  std::shared_ptr<std::atomic<int>> state_;
};

// Leaves a thread-local object behind whose clean-up is slow, like the
// per-thread state a TLS library keeps.
std::atomic<bool> g_thread_state_cleaned{false};
struct SlowThreadState {
  ~SlowThreadState() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    g_thread_state_cleaned = true;
  }
};
class UsesThreadState : public qelkit::Thread {
 protected:
  void run() override {
    thread_local SlowThreadState state;
    (void)state;
  }
};

class Thrower : public qelkit::Thread {
 protected:
  void run() override { throw std::runtime_error("boom"); }
};

TEST(Thread, HandsFieldsOverAcrossStartAndJoin) {
  std::vector<std::shared_ptr<Doubler>> threads;
  for (int i = 0; i < 16; ++i) {
    auto t = std::make_shared<Doubler>();
    t->input = {i, i + 1, i + 2};
    t->daemon = (i % 2) == 0;
    t->start();
    threads.push_back(t);
  }
  for (int i = 0; i < 16; ++i) {
    threads[i]->join();
    EXPECT_FALSE(threads[i]->is_alive());
    EXPECT_EQ(threads[i]->output, (std::vector<int>{2 * i, 2 * i + 2, 2 * i + 4}));
  }
}

TEST(Thread, DroppedByItsCreatorItLivesUntilRunReturns) {
  auto state = std::make_shared<std::atomic<int>>(0);
  {
    auto t = std::make_shared<Sleeper>(state);
    t->daemon = true;
    t->start();
  }  // the creator's only pointer is gone while run() still sleeps
  EXPECT_EQ(state->load(), 0);  // not destroyed under the running thread
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (state->load() != 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(state->load(), 2);  // run() finished (1), then the object was freed (2)
}

TEST(Thread, JoinReturnsOnlyOnceTheSystemThreadHasEnded) {
  // A process may exit right after join(): nothing of the thread may still
  // be running then.
  auto t = std::make_shared<UsesThreadState>();
  t->daemon = true;
  t->start();
  t->join();
  EXPECT_TRUE(g_thread_state_cleaned.load());
}

TEST(Thread, MisuseIsRefusedAndEscapingExceptionsAreKept) {
  Doubler on_stack;  // not owned by a shared_ptr
  EXPECT_THROW(on_stack.start(), std::logic_error);
  EXPECT_THROW(on_stack.join(), std::logic_error);

  auto t = std::make_shared<Thrower>();
  t->start();
  EXPECT_THROW(t->start(), std::logic_error);
  t->join();
  t->join();  // joining a finished thread again returns at once
  ASSERT_TRUE(t->exception());
  try {
    std::rethrow_exception(t->exception());
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "boom");
  }
}

}  // namespace
