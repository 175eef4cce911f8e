#include "json/structural_index.hpp"

#include <simdjson.h>

#include <algorithm>

#include "json/value_type.hpp"

namespace mellix::json {
namespace {

// Small enough that a chunk's text and offsets stay in cache while the
// outline walks them, large enough that stage 1 runs at full speed.
constexpr std::size_t kChunk = 256 * 1024;

}  // namespace

StructuralIndex::StructuralIndex() = default;
StructuralIndex::StructuralIndex(StructuralIndex&&) noexcept = default;
StructuralIndex& StructuralIndex::operator=(StructuralIndex&&) noexcept = default;
StructuralIndex::~StructuralIndex() = default;

bool StructuralIndex::reserve(std::size_t capacity) {
  if (impl_ && capacity_ >= capacity) return true;
  capacity = std::max(capacity, kChunk);
  if (capacity > simdjson::SIMDJSON_MAXSIZE_BYTES) return false;
  // Stage 1 keeps no depth; one is needed only to create the parser.
  const auto error = impl_
                         ? impl_->set_capacity(capacity)
                         : simdjson::get_active_implementation()->create_dom_parser_implementation(
                               capacity, kMaxNesting, impl_);
  if (error) {
    impl_.reset();
    capacity_ = 0;
    return false;
  }
  capacity_ = capacity;
  return true;
}

StructuralIndex::Result StructuralIndex::index(std::string_view text, const Chunk& each) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::size_t begin = 0;
  std::size_t chunk = kChunk;
  bool any = false;
  while (begin < n) {
    std::size_t end = n;
    if (n - begin > chunk) {
      // Cut after a comma, most likely outside any string, else at the
      // start of a UTF-8 character; a cut inside a string is retried below.
      end = begin + chunk;
      const std::size_t comma = text.substr(end - 256, 256).rfind(',');
      if (comma != std::string_view::npos) {
        end = end - 256 + comma + 1;
      } else {
        while (end > begin + 1 && (bytes[end] & 0xC0) == 0x80) --end;
      }
    }
    if (!reserve(end - begin)) return Result::Unindexable;
    auto error = impl_->stage1(bytes + begin, end - begin, simdjson::stage1_mode::regular);
    // A string left open at the cut: end the chunk before its opening quote
    // (reached through any escaped quotes within it).
    for (int retries = 0; error == simdjson::UNCLOSED_STRING && end < n && retries < 8; ++retries) {
      const std::size_t quote = text.substr(begin, end - begin).rfind('"');
      if (quote == std::string_view::npos || quote == 0) break;
      end = begin + quote;
      error = impl_->stage1(bytes + begin, end - begin, simdjson::stage1_mode::regular);
    }
    if (error == simdjson::EMPTY) {  // only white space
      if (end == n) break;
      begin = end;
      continue;
    }
    if (error == simdjson::UNCLOSED_STRING && end < n) {  // a long string: a larger chunk
      chunk *= 2;
      continue;
    }
    if (error) return Result::NotJson;
    std::size_t count = impl_->n_structural_indexes;
    std::size_t next = end;
    if (end < n) {
      // The last token may go on past the cut: the next chunk starts with it.
      next = begin + impl_->structural_indexes[count - 1];
      --count;
      if (count == 0) {
        chunk *= 2;
        continue;
      }
    }
    any = true;
    if (!each({impl_->structural_indexes.get(), count}, begin)) return Result::Indexed;
    begin = next;
    chunk = kChunk;
  }
  return any ? Result::Indexed : Result::NotJson;
}

void StructuralIndex::trim() {
  if (capacity_ > kChunk) {
    impl_.reset();
    capacity_ = 0;
  }
}

}  // namespace mellix::json
