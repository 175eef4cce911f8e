#include "rules/lowercase.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace mellix {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Letters that are cased without being Lu, Ll or Lt: the Other_Lowercase and
// Other_Uppercase code points of Unicode 15.0 (ordinal indicators, modifier
// letters, Roman numerals, circled and squared letters), which utf8proc's
// tables do not carry. The exhaustive comparison with ICU in
// lowercase_test.cpp proves this list right for the Unicode version in use.
constexpr std::array<Range, 31> kOtherCased = {{
    {0x00AA, 0x00AA},   {0x00BA, 0x00BA},   {0x02B0, 0x02B8},   {0x02C0, 0x02C1},
    {0x02E0, 0x02E4},   {0x0345, 0x0345},   {0x037A, 0x037A},   {0x10FC, 0x10FC},
    {0x1D2C, 0x1D6A},   {0x1D78, 0x1D78},   {0x1D9B, 0x1DBF},   {0x2071, 0x2071},
    {0x207F, 0x207F},   {0x2090, 0x209C},   {0x2160, 0x217F},   {0x24B6, 0x24E9},
    {0x2C7C, 0x2C7D},   {0xA69C, 0xA69D},   {0xA770, 0xA770},   {0xA7F2, 0xA7F4},
    {0xA7F8, 0xA7F9},   {0xAB5C, 0xAB5F},   {0xAB69, 0xAB69},   {0x10780, 0x10780},
    {0x10783, 0x10785}, {0x10787, 0x107B0}, {0x107B2, 0x107BA}, {0x1E030, 0x1E06D},
    {0x1F130, 0x1F149}, {0x1F150, 0x1F169}, {0x1F170, 0x1F189},
}};

// Case-ignorable code points outside the categories Mn, Me, Cf, Lm and Sk:
// the Word_Break classes MidLetter, MidNumLet and Single_Quote (apostrophes,
// full stops, colons, middle dots), which utf8proc does not carry either.
constexpr std::array<Range, 16> kWordBreakIgnorable = {{
    {0x0027, 0x0027},
    {0x002E, 0x002E},
    {0x003A, 0x003A},
    {0x00B7, 0x00B7},
    {0x0387, 0x0387},
    {0x055F, 0x055F},
    {0x05F4, 0x05F4},
    {0x2018, 0x2019},
    {0x2024, 0x2024},
    {0x2027, 0x2027},
    {0xFE13, 0xFE13},
    {0xFE52, 0xFE52},
    {0xFE55, 0xFE55},
    {0xFF07, 0xFF07},
    {0xFF0E, 0xFF0E},
    {0xFF1A, 0xFF1A},
}};

template <std::size_t N>
bool contains(const std::array<Range, N>& ranges, char32_t c) {
  const auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                                   [](char32_t value, const Range& r) { return value < r.first; });
  return it != ranges.begin() && c <= std::prev(it)->last;
}

// What a code point is to the final-sigma rule. A code point that is both
// cased and case-ignorable (a modifier letter such as U+02B0) is skipped like
// any other ignorable one, as ICU does.
enum class SigmaContext { kCased, kIgnorable, kBarrier };

SigmaContext sigma_context(char32_t c) {
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_SK:
      return SigmaContext::kIgnorable;
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
      return SigmaContext::kCased;
    default:
      break;
  }
  if (contains(kWordBreakIgnorable, c)) return SigmaContext::kIgnorable;
  if (contains(kOtherCased, c)) return SigmaContext::kCased;
  return SigmaContext::kBarrier;
}

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;
constexpr char32_t kCapitalIWithDot = 0x0130;

bool is_continuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// The well-formed code point starting at `pos`, or nothing (-1) for an
// ill-formed sequence; `length` gets its byte count.
std::int32_t decode_at(std::string_view text, std::size_t pos, std::size_t& length) {
  utf8proc_int32_t c = -1;
  const utf8proc_ssize_t n =
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + pos),
                       static_cast<utf8proc_ssize_t>(text.size() - pos), &c);
  if (n <= 0) return -1;
  length = static_cast<std::size_t>(n);
  return c;
}

// The well-formed code point ending just before `end`, or -1 when the bytes
// there are ill-formed. A sequence ending at `end` can only start at the
// nearest byte before it that is not a continuation byte.
std::int32_t decode_before(std::string_view text, std::size_t end, std::size_t& start) {
  std::size_t lead = end - 1;
  while (lead > 0 && end - lead < 4 && is_continuation(static_cast<unsigned char>(text[lead]))) {
    --lead;
  }
  std::size_t length = 0;
  const std::int32_t c = decode_at(text, lead, length);
  if (c < 0 || lead + length != end) return -1;
  start = lead;
  return c;
}

// Whether the sigma occupying [start, end) ends a word: a cased letter comes
// before it, past any case-ignorable code points, and none comes after it.
// Ill-formed bytes end the search like any uncased character.
bool is_final_sigma(std::string_view text, std::size_t start, std::size_t end) {
  bool cased_before = false;
  for (std::size_t pos = start; pos > 0;) {
    const std::int32_t c = decode_before(text, pos, pos);
    if (c < 0) break;
    const SigmaContext context = sigma_context(static_cast<char32_t>(c));
    if (context == SigmaContext::kIgnorable) continue;
    cased_before = context == SigmaContext::kCased;
    break;
  }
  if (!cased_before) return false;

  for (std::size_t pos = end; pos < text.size();) {
    std::size_t length = 0;
    const std::int32_t c = decode_at(text, pos, length);
    if (c < 0) return true;
    const SigmaContext context = sigma_context(static_cast<char32_t>(c));
    if (context != SigmaContext::kIgnorable) return context != SigmaContext::kCased;
    pos += length;
  }
  return true;
}

void append_utf8(std::string& out, char32_t c) {
  utf8proc_uint8_t buffer[4];
  const utf8proc_ssize_t n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(c), buffer);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string lowercase_full(std::string_view text) {
  std::string out;
  // In pure ASCII the full mapping reduces to A-Z -> a-z (no sigma, no
  // expansions), and most questions are pure ASCII.
  if (is_ascii(text)) {
    out.resize(text.size());
    std::transform(text.begin(), text.end(), out.begin(), lower_ascii);
    return out;
  }

  out.reserve(text.size() + text.size() / 4);
  for (std::size_t pos = 0; pos < text.size();) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      out.push_back(lower_ascii(text[pos]));
      ++pos;
      continue;
    }
    std::size_t length = 0;
    const std::int32_t decoded = decode_at(text, pos, length);
    if (decoded < 0) {
      // Copied as is; the bytes after it are looked at on their own.
      out.push_back(text[pos]);
      ++pos;
      continue;
    }
    const char32_t c = static_cast<char32_t>(decoded);
    if (c == kCapitalIWithDot) {
      out.append("i\u0307");  // the one unconditional expansion
    } else if (c == kCapitalSigma) {
      append_utf8(out, is_final_sigma(text, pos, pos + length) ? kFinalSigma : kSmallSigma);
    } else {
      append_utf8(out, static_cast<char32_t>(utf8proc_tolower(decoded)));
    }
    pos += length;
  }
  return out;
}

}  // namespace mellix
