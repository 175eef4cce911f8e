// Full Unicode default lower-casing of UTF-8 text, the language-neutral
// mapping: every code point takes its simple lower-case mapping, except that
// U+0130 becomes "i" + U+0307 and a capital sigma at the end of a word becomes
// the final form U+03C2. No locale is consulted, so a Turkish or Lithuanian
// process cannot change the answer. Ill-formed UTF-8 bytes are copied through
// unchanged. Cannot fail; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace mellix {

std::string lowercase_full(std::string_view text);

}  // namespace mellix
