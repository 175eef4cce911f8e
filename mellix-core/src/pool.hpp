// The process-wide work-stealing pool (oneTBB): the one place where this
// library runs work in parallel.
//
// parallel_ranges(count, body) calls body(begin, end) over subranges that
// cover [0, count) once, on the pool, with the calling thread taking part;
// it returns when all are done. Ranges are split by halving, down to single
// indices, as idle workers steal them; a count of one runs on the calling
// thread alone.
//
// A TaskGroup runs tasks on the pool while the calling thread goes on with
// its own work; wait() has the calling thread run what is left and returns
// once every task is done.
//
// Tasks must not themselves wait on the pool. An exception thrown by a task
// cancels the tasks not yet started and is rethrown to the caller (by wait()
// for a group).
//
// A pool that cannot start a worker (the system refuses a new thread, as
// under a process limit or memory pressure) is not an error: the work then
// runs on the calling thread. parallel_ranges may then call body again over
// indices it already did, so a body must only write what belongs to its own
// indices; a group's task still runs exactly once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace mellix {

void parallel_ranges(std::size_t count,
                     const std::function<void(std::size_t begin, std::size_t end)>& body);

class TaskGroup {
 public:
  TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  // Waits for the tasks still running, if wait() was not called.
  ~TaskGroup();

  void run(std::function<void()> task);
  void wait();

 private:
  struct Group;
  std::unique_ptr<Group> group_;
};

}  // namespace mellix
