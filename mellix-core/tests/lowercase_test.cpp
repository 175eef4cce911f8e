// Proves lowercase_full identical to ICU's root-locale full lower-casing, the
// reference it replaced: every code point alone and in the contexts that
// decide the final-sigma rule, then random strings with ill-formed bytes.
#include "rules/lowercase.hpp"

#include <gtest/gtest.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unicode/utypes.h>
#include <utf8proc.h>

#include <cstdint>
#include <random>
#include <ranges>
#include <string>
#include <string_view>
#include <vector>

namespace mellix {
namespace {

std::string icu_lowercase(std::string_view text) {
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0,
                            icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())),
                            sink, nullptr, status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  return out;
}

std::string utf8(char32_t c) {
  std::uint8_t bytes[4];
  std::int32_t size = 0;
  U8_APPEND_UNSAFE(bytes, size, c);
  return {reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size)};
}

std::string hex(std::string_view bytes) {
  std::string out;
  for (const unsigned char b : bytes) {
    out += "0123456789ABCDEF"[b >> 4];
    out += "0123456789ABCDEF"[b & 15];
    out += ' ';
  }
  return out;
}

const std::string kAlpha = "\u0391";  // a cased letter
const std::string kSigma = "\u03A3";

// Each context puts a code point where the final-sigma rule has to classify
// it: after a sigma's cased letter (ignorable or not), as the letter before a
// sigma, and after a sigma as the end of the word or as an ignorable before
// more letters.
struct Context {
  const char* name;
  std::string before;
  std::string after;
};

const std::vector<Context> kContexts = {
    {"alone", "", ""},
    {"between a letter and a sigma", kAlpha, kSigma},
    {"before a sigma", "", kSigma},
    {"after a word-final sigma", kAlpha + kSigma, ""},
    {"between a sigma and a letter", kAlpha + kSigma, kAlpha},
};

bool is_surrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

TEST(Lowercase, BothLibrariesHaveTheSameUnicodeVersion) {
  UVersionInfo version;
  u_getUnicodeVersion(version);
  char icu_version[U_MAX_VERSION_STRING_LENGTH];
  u_versionToString(version, icu_version);
  // ICU prints "15.0", utf8proc "15.0.0".
  EXPECT_EQ(std::string(utf8proc_unicode_version()).rfind(icu_version, 0), 0U)
      << "utf8proc " << utf8proc_unicode_version() << ", ICU " << icu_version;
}

TEST(Lowercase, EveryCodePointInEveryContextMatchesIcu) {
  for (const Context& context : kContexts) {
    // One text per context, the cases separated by spaces: a space is neither
    // cased nor case-ignorable, so no case sees its neighbours.
    std::string text;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      if (is_surrogate(c)) continue;
      text += ' ';
      text += context.before;
      text += utf8(c);
      text += context.after;
    }
    if (lowercase_full(text) == icu_lowercase(text)) continue;

    int reported = 0;
    for (char32_t c = 0; c <= 0x10FFFF && reported < 20; ++c) {
      if (is_surrogate(c)) continue;
      const std::string one = context.before + utf8(c) + context.after;
      const std::string ours = lowercase_full(one);
      const std::string icu = icu_lowercase(one);
      if (ours == icu) continue;
      ++reported;
      ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(c) << " " << context.name
                    << ": ours " << hex(ours) << "ICU " << hex(icu);
    }
    ASSERT_GT(reported, 0) << context.name << ": only the joined text differs";
  }
}

// Random strings over pieces that exercise every path: ASCII, sigma runs,
// cased and ignorable letters of every kind, the U+0130 expansion, and
// ill-formed bytes (stray continuations, truncated and overlong sequences,
// encoded surrogates, bytes that never occur in UTF-8).
TEST(Lowercase, RandomStringsMatchIcu) {
  std::vector<std::string> pieces = {kAlpha, kSigma};
  for (const auto piece : std::views::split(
           std::string_view("A|z| |'|.|:|1|\u03C3|\u03C2|\u0130|\u0131|\u0301|\u0345|\u02B0|\u00AA|"
                            "\u2160|\u24B6|\u212A|\u01C4|\u01C5|\u00DF|\u2019|\u00B7|\u200D|"
                            "\uFE0F|\u4E2D|\U0001F130|\U00010400|\U0001F600|\x80|\xBF|\xC0\xAF|"
                            "\xC3|\xE2\x82|\xED\xA0\x80|\xE0\x80\x80|\xF4\x90\x80\x80|\xF0\x9F|"
                            "\xFE|\xFF"),
           '|')) {
    pieces.emplace_back(piece.begin(), piece.end());
  }
  std::mt19937 random(12345);
  std::uniform_int_distribution<std::size_t> piece_index(0, pieces.size() - 1);
  std::uniform_int_distribution<std::size_t> piece_count(0, 12);
  std::uniform_int_distribution<std::uint32_t> any_code_point(0x80, 0x10FFFF);
  int failures = 0;
  for (int round = 0; round < 50000 && failures < 20; ++round) {
    std::string text;
    for (std::size_t n = piece_count(random); n > 0; --n) {
      // One piece in eight is an arbitrary code point (surrogates excluded).
      if (piece_index(random) % 8 == 0) {
        const char32_t c = any_code_point(random);
        text += utf8(is_surrogate(c) ? c + 0x800 : c);
      } else {
        text += pieces[piece_index(random)];
      }
    }
    const std::string ours = lowercase_full(text);
    const std::string icu = icu_lowercase(text);
    if (ours != icu) {
      ++failures;
      ADD_FAILURE() << "input " << hex(text) << "\nours  " << hex(ours) << "\nICU   " << hex(icu);
    }
  }
}

}  // namespace
}  // namespace mellix
