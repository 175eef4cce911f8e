// What the engine allows a request and how it sizes its buffers, written
// once for every reader, the engine and the binding.
//
// The nesting limit is part of what a request means (every reading path
// refuses the same texts); the rest is memory policy and changes no answer.
#pragma once

#include <cstddef>

namespace mellix {

// Arrays and objects nested this deep are rejected; one level less is fine.
inline constexpr std::size_t kMaxNesting = 128;

// Requests from this size on try the forward reader first; below it the DOM
// costs less than setting the forward reader's workers to work.
inline constexpr std::size_t kForwardMinBytes = 16 * 1024;

// Readers keep buffers sized for texts (or spans) up to this many bytes
// warm from one command to the next; larger ones are given back after it.
inline constexpr std::size_t kWarmBufferBytes = 512 * 1024;

// After a request this large, the heap's free memory goes back to the
// system, all but what a mid-sized request reuses: with the readers' warm
// buffers, under 32 MiB. A request of Python objects counts as large from
// kLargeRequestValues values on, as a text of a megabyte holds about that many.
inline constexpr std::size_t kReleaseMinBytes = 1024 * 1024;
inline constexpr std::size_t kLargeRequestValues = 128 * 1024;
inline constexpr std::size_t kFreeHeapKept = 16 * 1024 * 1024;

}  // namespace mellix
