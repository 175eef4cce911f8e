#include "system/pool.hpp"

#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace mellix {
namespace {

// parallel_ranges makes at most this many tasks.
constexpr std::size_t kMaxRangeTasks = 4096;

// Runs `work`, and tells whether it failed only because oneTBB could not
// start a thread: oneTBB reports that as std::runtime_error ("pthread_create
// has failed"), a type nothing of ours throws (and a task's exceptions never
// reach oneTBB). Running out of memory is not such a failure and goes on to
// the caller.
template <class Work>
bool pool_refused_a_thread(Work&& work) {
  try {
    work();
    return false;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::runtime_error&) {
    return true;
  }
}

// The first exception the group's tasks threw, kept for the calling thread.
// Keeping it allocates nothing: the runtime made the exception object.
class FirstException {
 public:
  void capture() noexcept {  // only inside a catch block
    if (!taken_.exchange(true, std::memory_order_acq_rel)) error_ = std::current_exception();
  }
  bool failed() const noexcept { return taken_.load(std::memory_order_acquire); }
  // Only once the tasks are done.
  void rethrow_if_any() const {
    if (failed()) std::rethrow_exception(error_);
  }

 private:
  std::atomic<bool> taken_{false};
  std::exception_ptr error_;
};

// A group's task, run by whoever claims it first: the pool, or the calling
// thread when the pool could not take it.
class OnceTask {
 public:
  explicit OnceTask(std::function<void()> task) : task_(std::move(task)) {}
  bool claim() noexcept { return !claimed_.exchange(true, std::memory_order_acq_rel); }
  void run() {
    if (claim()) task_();
  }
  void run_on_pool(FirstException& failure) noexcept {
    if (!claim() || failure.failed()) return;
    try {
      task_();
    } catch (...) {
      failure.capture();
    }
  }

 private:
  std::function<void()> task_;
  std::atomic<bool> claimed_{false};
};

// The C++ runtime's per-thread data (the exception globals) is made at the
// thread's first exception: throwing once here makes it while memory is
// plentiful.
[[gnu::noinline]] void prepare_thread() {
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
}

// Has every thread of the pool take one task, each waiting (briefly) for
// the others, so that all of them start now.
void start_threads() {
  const auto threads = static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  std::atomic<std::size_t> arrived{0};
  TaskGroup group;
  for (std::size_t i = 0; i < threads; ++i) {
    group.run([&] {
      prepare_thread();
      arrived.fetch_add(1, std::memory_order_acq_rel);
      while (arrived.load(std::memory_order_acquire) < threads &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
    });
  }
  group.wait();
}

}  // namespace

void prepare_pool() {
  prepare_thread();
  static std::once_flag started;
  std::call_once(started, start_threads);
  // oneTBB's own data for this thread, made by its first wait.
  TaskGroup group;
  group.run([] {});
  group.wait();
}

struct TaskGroup::Group {
  tbb::task_group tasks;
  std::vector<std::shared_ptr<OnceTask>> pending;
  FirstException failure;
};

TaskGroup::TaskGroup() : group_(std::make_unique<Group>()) {}

TaskGroup::~TaskGroup() {
  // A group may only be destroyed once its tasks are done; an exception
  // from one of them was the caller's to take from wait().
  try {
    group_->tasks.cancel();
  } catch (...) {
  }
  try {
    group_->tasks.wait();
  } catch (...) {
  }
}

void TaskGroup::run(std::function<void()> task) {
  auto once = std::make_shared<OnceTask>(std::move(task));
  group_->pending.push_back(once);
  Group* group = group_.get();
  if (pool_refused_a_thread(
          [&] { group->tasks.run([once, group] { once->run_on_pool(group->failure); }); })) {
    once->run();
  }
}

void TaskGroup::wait() {
  // Whatever the pool left undone because it could not start a thread runs
  // here; a task it did run is not run again.
  if (pool_refused_a_thread([&] { group_->tasks.wait(); })) {
    for (const std::shared_ptr<OnceTask>& once : group_->pending) {
      if (!group_->failure.failed()) once->run();
    }
  }
  group_->pending.clear();
  group_->failure.rethrow_if_any();
}

void parallel_ranges(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  if (count == 1) {
    body(0, 1);
    return;
  }
  const std::size_t tasks = std::min(count, kMaxRangeTasks);
  TaskGroup group;
  for (std::size_t t = 0; t < tasks; ++t) {
    const std::size_t begin = count * t / tasks;
    const std::size_t end = count * (t + 1) / tasks;
    group.run([&body, begin, end] { body(begin, end); });
  }
  group.wait();
}

}  // namespace mellix
