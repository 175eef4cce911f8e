#include "pool.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace mellix {
namespace {

// Runs `work`, and tells whether it failed only because oneTBB could not
// start a thread: oneTBB reports that as std::runtime_error ("pthread_create
// has failed"), a type nothing of ours throws. Running out of memory is not
// such a failure and goes on to the caller.
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

// A group's task, run by whoever claims it first: the pool, or the calling
// thread when the pool could not take it.
class OnceTask {
 public:
  explicit OnceTask(std::function<void()> task) : task_(std::move(task)) {}
  void run() {
    if (!claimed_.exchange(true, std::memory_order_acq_rel)) task_();
  }

 private:
  std::function<void()> task_;
  std::atomic<bool> claimed_{false};
};

}  // namespace

void parallel_ranges(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  if (count == 1) {
    body(0, 1);
    return;
  }
  const bool refused = pool_refused_a_thread([&] {
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, count, 1),
        [&](const tbb::blocked_range<std::size_t>& range) { body(range.begin(), range.end()); });
  });
  if (refused) body(0, count);
}

struct TaskGroup::Group {
  tbb::task_group tasks;
  std::vector<std::shared_ptr<OnceTask>> pending;
};

TaskGroup::TaskGroup() : group_(std::make_unique<Group>()) {}

TaskGroup::~TaskGroup() {
  // A group may only be destroyed once its tasks are done; an exception
  // from one of them was the caller's to take from wait().
  group_->tasks.cancel();
  try {
    group_->tasks.wait();
  } catch (...) {
  }
}

void TaskGroup::run(std::function<void()> task) {
  auto once = std::make_shared<OnceTask>(std::move(task));
  group_->pending.push_back(once);
  if (pool_refused_a_thread([&] { group_->tasks.run([once] { once->run(); }); })) once->run();
}

void TaskGroup::wait() {
  // Whatever the pool left undone because it could not start a thread runs
  // here; a task it did run is not run again.
  if (pool_refused_a_thread([&] { group_->tasks.wait(); })) {
    for (const std::shared_ptr<OnceTask>& once : group_->pending) once->run();
  }
  group_->pending.clear();
}

}  // namespace mellix
