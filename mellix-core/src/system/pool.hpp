// The process-wide work-stealing pool (oneTBB): the one place where this
// library runs work in parallel.
//
// prepare_pool() readies the pool for the calling thread: the first call in
// the process starts the pool's threads, and every call sets up what the
// C++ runtime and oneTBB keep per thread. Engine::create calls it, so that a
// build never needs a new thread or per-thread memory: under memory
// pressure those fail in ways no caller can catch (glibc ends the process
// when it cannot allocate a thread's thread-local data).
//
// parallel_ranges(count, body) calls body(begin, end) over subranges that
// cover [0, count) once, on the pool, with the calling thread taking part;
// it returns when all are done. Each index is a task of its own, up to a
// few thousand tasks, made on the calling thread; a count of one runs on the
// calling thread alone.
//
// A TaskGroup runs tasks on the pool while the calling thread goes on with
// its own work; wait() has the calling thread run what is left and returns
// once every task is done.
//
// Tasks must not themselves wait on the pool. An exception thrown by a task
// stops the tasks not yet started and is rethrown to the caller (by wait()
// for a group). No exception ever reaches oneTBB, which needs memory to
// carry one and ends the process when it has none; nor does oneTBB allocate
// on the pool's threads, as every task is made on the calling thread.
//
// A pool that cannot start a worker (the system refuses a new thread, as
// under a process limit or memory pressure) is not an error: the work then
// runs on the calling thread. Every task still runs exactly once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace mellix {

void prepare_pool();

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
