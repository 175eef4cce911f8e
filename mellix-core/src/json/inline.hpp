// MELLIX_ALWAYS_INLINE marks the links of the record conversion chain
// (json/record.hpp says why they are inlined).
//
// Builds with AddressSanitizer or ThreadSanitizer leave the choice to the
// compiler: there, the instrumented copies of the chain would double the
// compile time of the forward reader, for a speed no such build needs.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MELLIX_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MELLIX_SANITIZED_BUILD 1
#endif
#endif

#ifdef MELLIX_SANITIZED_BUILD
#define MELLIX_ALWAYS_INLINE
#else
#define MELLIX_ALWAYS_INLINE [[gnu::always_inline]]
#endif
