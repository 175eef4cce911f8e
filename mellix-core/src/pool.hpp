// for_each_index: the one door to the process-wide work-stealing pool.
//
// Calls `task(i)` for every i in [0, count), spread over oneTBB's pool, and
// returns when all are done; a single index runs on the calling thread. Each
// task must write only its own result slot, so that running a task twice
// gives the same result as running it once.
//
// A pool that cannot start a worker (the system refuses a new thread, as
// under a process limit or memory pressure) is not an error of the command:
// every index then runs on the calling thread and the result is the same.
// Any other exception of a task (std::bad_alloc above all) reaches the caller
// unchanged. Threading: callable from any number of threads at once; the
// pool is shared, tasks never call back into the caller's host.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <utility>

namespace mellix {

template <class Task>
void for_each_index(std::size_t count, Task&& task) {
  if (count <= 1) {
    if (count == 1) task(std::size_t{0});
    return;
  }
  try {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, 1),
                      [&](const tbb::blocked_range<std::size_t>& range) {
                        for (std::size_t i = range.begin(); i != range.end(); ++i) task(i);
                      });
    return;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::runtime_error&) {
    // oneTBB reports a thread it could not create as std::runtime_error
    // ("pthread_create has failed"); nothing of ours throws that type.
  }
  for (std::size_t i = 0; i < count; ++i) task(i);
}

}  // namespace mellix
