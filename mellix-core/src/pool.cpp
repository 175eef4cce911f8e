#include "pool.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace mellix {

std::size_t pool_slots() {
  return static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
}

void parallel_slots(std::size_t count,
                    const std::function<void(std::size_t, std::size_t, std::size_t)>& body) {
  if (count == 1) {
    body(0, 1, 0);
    return;
  }
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      const int slot = tbb::this_task_arena::current_thread_index();
                      body(range.begin(), range.end(), static_cast<std::size_t>(slot));
                    });
}

}  // namespace mellix
