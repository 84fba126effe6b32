// The thread object: the base of qelkit's worker threads.
//
// A Thread runs its overridable run() on a new operating-system thread once
// start() is called; join() waits until run() has returned. Thread objects are
// always owned by std::shared_ptr (start() refuses an object that is not), and
// the running thread holds its own reference, so a creator may drop its
// pointer while run() is still going: the object lives until run() returns.
// join() also waits for the system thread to end; an object whose creator
// never joins it lets its system thread go when it dies, so no joinable
// std::thread is ever destroyed (no std::terminate).
//
// Hand-over: fields that the creator sets before start() and reads after
// join() need no lock; start() and join() order those accesses.
//
// `daemon` marks a background thread. The process waits at exit (from exit()
// or a return from main) for non-daemon threads that are still running, and
// never for daemon threads.
//
// An exception that escapes run() is caught and kept (see exception()); it
// never terminates the process.
#pragma once

#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace qelkit {

namespace detail {

// Counts running non-daemon threads so that exit can wait for them.
class NonDaemonThreads {
 public:
  static NonDaemonThreads& instance() {
    // Never destroyed: threads may still touch it while statics are torn down.
    static NonDaemonThreads* registry = new NonDaemonThreads;
    return *registry;
  }

  void enter() {
    std::call_once(hook_, [] { std::atexit(&NonDaemonThreads::wait_at_exit); });
    std::lock_guard<std::mutex> lock(m_);
    ++running_;
  }

  void leave() {
    std::lock_guard<std::mutex> lock(m_);
    if (--running_ == 0) cv_.notify_all();
  }

  // A non-daemon thread that calls exit() itself must not wait for itself.
  static bool& inside_non_daemon() {
    thread_local bool inside = false;
    return inside;
  }

 private:
  static void wait_at_exit() {
    auto& self = instance();
    std::unique_lock<std::mutex> lock(self.m_);
    int own = inside_non_daemon() ? 1 : 0;
    self.cv_.wait(lock, [&] { return self.running_ <= own; });
  }

  std::once_flag hook_;
  std::mutex m_;
  std::condition_variable cv_;
  int running_ = 0;
};

}  // namespace detail

class Thread : public std::enable_shared_from_this<Thread> {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // Never joined: the last reference went with the running thread itself
  // (or the creator dropped it unjoined), so the system thread is let go.
  virtual ~Thread() {
    if (thread_.joinable()) thread_.detach();
  }

  // Set before start(); the process does not wait for a daemon thread at exit.
  bool daemon = false;

  // Runs run() on a new thread. Throws std::logic_error when called twice or
  // when the object is not owned by a std::shared_ptr, and std::system_error
  // when the system cannot create a thread (the object is then not started).
  void start() {
    std::shared_ptr<Thread> self = weak_from_this().lock();
    if (!self) {
      throw std::logic_error("qelkit::Thread must be owned by a std::shared_ptr before start()");
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      if (state_ != State::created) throw std::logic_error("qelkit::Thread started twice");
      state_ = State::running;
    }
    const bool is_daemon = daemon;
    if (!is_daemon) detail::NonDaemonThreads::instance().enter();
    try {
      std::thread worker([self = std::move(self), is_daemon]() mutable {
        if (!is_daemon) detail::NonDaemonThreads::inside_non_daemon() = true;
        self->body();
        if (!is_daemon) {
          detail::NonDaemonThreads::inside_non_daemon() = false;
          self.reset();  // the object may die here, before exit stops waiting
          detail::NonDaemonThreads::instance().leave();
        }
      });
      std::lock_guard<std::mutex> lock(m_);
      thread_ = std::move(worker);
    } catch (...) {
      if (!is_daemon) detail::NonDaemonThreads::instance().leave();
      std::lock_guard<std::mutex> lock(m_);
      state_ = State::created;
      throw;
    }
  }

  // Waits until run() has returned. Throws std::logic_error when the object
  // was never started or when a thread tries to join itself.
  void join() {
    std::unique_lock<std::mutex> lock(m_);
    if (state_ == State::created) throw std::logic_error("qelkit::Thread joined before start()");
    if (state_ == State::running && runner_ == std::this_thread::get_id()) {
      throw std::logic_error("qelkit::Thread cannot join itself");
    }
    cv_.wait(lock, [this] { return state_ == State::finished; });
    // Wait for the system thread itself too, so that its thread-local
    // clean-up (library per-thread state) is over when join() returns.
    std::thread finished = std::move(thread_);
    lock.unlock();
    if (finished.joinable()) finished.join();
  }

  // True from start() until run() has returned.
  bool is_alive() const {
    std::lock_guard<std::mutex> lock(m_);
    return state_ == State::running;
  }

  // The exception that escaped run(), if any; read it after join().
  std::exception_ptr exception() const {
    std::lock_guard<std::mutex> lock(m_);
    return error_;
  }

 protected:
  // The thread body. The default does nothing.
  virtual void run() {}

 private:
  enum class State { created, running, finished };

  void body() {
    {
      std::lock_guard<std::mutex> lock(m_);
      runner_ = std::this_thread::get_id();
    }
    std::exception_ptr error;
    try {
      run();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(m_);
    error_ = error;
    state_ = State::finished;
    cv_.notify_all();
  }

  mutable std::mutex m_;
  std::condition_variable cv_;
  State state_ = State::created;
  std::thread::id runner_;
  std::exception_ptr error_;
  std::thread thread_;  // joinable until join() has waited for it
};

}  // namespace qelkit
