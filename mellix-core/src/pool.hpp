// The process-wide work-stealing pool (oneTBB): the one place where this
// library runs work in parallel.
//
// parallel_slots(count, body) calls body(begin, end, slot) over subranges
// that cover [0, count) once, on the pool, with the calling thread taking
// part; it returns when all are done. Ranges are split by halving, down to
// single indices, as idle workers steal them; a count of one runs on the
// calling thread alone. `slot` is below pool_slots() and no two bodies
// running at the same time share one, so per-slot scratch needs no lock (a
// body must not itself wait on the pool). An exception thrown by a body
// cancels the ranges not yet started and is rethrown to the caller.
#pragma once

#include <cstddef>
#include <functional>

namespace mellix {

std::size_t pool_slots();

void parallel_slots(
    std::size_t count,
    const std::function<void(std::size_t begin, std::size_t end, std::size_t slot)>& body);

}  // namespace mellix
