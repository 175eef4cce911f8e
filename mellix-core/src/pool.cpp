#include "pool.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include <utility>

namespace mellix {

void parallel_ranges(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  if (count == 1) {
    body(0, 1);
    return;
  }
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, count, 1),
      [&](const tbb::blocked_range<std::size_t>& range) { body(range.begin(), range.end()); });
}

struct TaskGroup::Group {
  tbb::task_group tasks;
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
  group_->tasks.run(std::move(task));
}

void TaskGroup::wait() {
  group_->tasks.wait();
}

}  // namespace mellix
