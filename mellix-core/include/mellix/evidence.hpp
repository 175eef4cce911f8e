// Evidence: what a fact rule read to state its fact, and the threshold the
// fact's number crossed.
//
// A rule records its evidence itself, in the very code that derives the
// fact, when the caller hands it a record (derive.hpp); a build or replay
// hands none and pays nothing. An Evidence is a small flat value: at most
// kCapacity named numbers (double or int64) in the order the rule recorded
// them, and at most one short text. Keys and the text are string literals of
// the rule's code, so a record owns no memory and copies as plain bytes.
// Recording more than kCapacity numbers is a programming error (asserted);
// nothing here can fail at run time. Safe to read from any thread.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mellix {

struct EvidenceNumber {
  std::string_view key;
  bool integral = false;  // `integer` holds the number, else `real` does
  double real = 0.0;
  std::int64_t integer = 0;
};

class Evidence {
 public:
  static constexpr std::size_t kCapacity = 8;

  void real(std::string_view key, double value) {
    push(EvidenceNumber{.key = key, .integral = false, .real = value});
  }
  void integer(std::string_view key, std::int64_t value) {
    push(EvidenceNumber{.key = key, .integral = true, .integer = value});
  }
  // `literal` must outlive the record: a string literal.
  void text(std::string_view key, std::string_view literal) {
    text_key_ = key;
    text_ = literal;
  }

  std::span<const EvidenceNumber> numbers() const { return {numbers_.data(), count_}; }
  // Empty key: no text.
  std::string_view text_key() const { return text_key_; }
  std::string_view text() const { return text_; }

 private:
  void push(const EvidenceNumber& number) {
    assert(count_ < kCapacity);
    if (count_ < kCapacity) numbers_[count_++] = number;
  }

  std::array<EvidenceNumber, kCapacity> numbers_{};
  std::size_t count_ = 0;
  std::string_view text_key_;
  std::string_view text_;
};

// A build with evidence: the context's JSON text, as the build answers it,
// and evidence[i] explaining the context's i-th fact.
struct ExplainedBuild {
  std::string context_json;
  std::vector<Evidence> evidence;
};

}  // namespace mellix
