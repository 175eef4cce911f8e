#include "forward_reader.hpp"

#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "json/forward_value.hpp"
#include "json/request_outline.hpp"
#include "json/structural_index.hpp"
#include "model_json.hpp"
#include "pool.hpp"

namespace mellix {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// Buffers sized for texts up to this many bytes stay warm between requests.
constexpr std::size_t kWarmBytes = std::size_t{1} << 20;

// A worker's own parser, and a padded copy of a span the text cannot pad.
struct Slot {
  json::ondemand::parser parser;
  std::unique_ptr<char[]> copy;
  std::size_t copy_capacity = 0;
};

enum class Check : std::uint8_t { Unread, Valid, Failed, NoMemory };

bool is_container(char c) {
  return c == '{' || c == '[';
}

// Validates one value, `depth` containers deep, by the exact grammar. A
// scalar is read this way where it lies: it needs no padding.
bool exactly_valid(std::string_view text, std::size_t depth) {
  json::ExactScanner scanner(text);
  return scanner.skip(depth) && scanner.finish();
}

}  // namespace

struct ForwardReader::State {
  json::StructuralIndex index;
  json::RequestOutline outline;
  std::vector<Slot> slots;

  // The span as a padded view: in place when the text after it is long
  // enough to be its padding, else copied into the slot's buffer.
  simdjson::padded_string_view padded(std::string_view text, json::ByteSpan bytes, Slot& slot) {
    const std::size_t length = bytes.end - bytes.begin;
    if (text.size() - bytes.end >= simdjson::SIMDJSON_PADDING) {
      return simdjson::padded_string_view(text.data() + bytes.begin, length,
                                          text.size() - bytes.begin);
    }
    if (slot.copy_capacity < length + simdjson::SIMDJSON_PADDING) {
      slot.copy_capacity = length + simdjson::SIMDJSON_PADDING;
      slot.copy = std::make_unique<char[]>(slot.copy_capacity);
    }
    std::memcpy(slot.copy.get(), text.data() + bytes.begin, length);
    std::memset(slot.copy.get() + length, ' ', slot.copy_capacity - length);
    return simdjson::padded_string_view(slot.copy.get(), length, slot.copy_capacity);
  }

  // Validates one outline value, or converts it into `snapshot`.
  Check check(std::string_view text, const json::OutlineValue& value, Slot& slot,
              FeedSnapshot* snapshot) {
    const std::string_view bytes =
        text.substr(value.bytes.begin, value.bytes.end - value.bytes.begin);
    if (!is_container(bytes.front())) {
      return !snapshot && exactly_valid(bytes, value.depth) ? Check::Valid : Check::Failed;
    }
    json::ondemand::document doc;
    const auto error = slot.parser.iterate(padded(text, value.bytes, slot)).get(doc);
    if (error == simdjson::MEMALLOC) return Check::NoMemory;
    if (error) return Check::Failed;
    if (!snapshot) return json::validate_document(doc, value.depth) ? Check::Valid : Check::Failed;
    json::ForwardState state;
    const json::ForwardValue root(doc, state, value.depth);
    json::Reader<json::ForwardValue> reader(json::Source::Document);
    const bool converted = !state.failed && reader.read(root, *snapshot) && !state.failed;
    return converted && json::at_end(doc) ? Check::Valid : Check::Failed;
  }
};

ForwardReader::ForwardReader() : state_(std::make_unique<State>()) {}
ForwardReader::ForwardReader(ForwardReader&&) noexcept = default;
ForwardReader& ForwardReader::operator=(ForwardReader&&) noexcept = default;
ForwardReader::~ForwardReader() = default;

ForwardOutcome ForwardReader::read_build(std::string_view text) {
  using Status = json::RequestOutline::Status;
  ForwardOutcome out;
  State& s = *state_;
  json::RequestOutline& outline = s.outline;
  json::OutlineWalker walker(text, outline);
  switch (s.index.index(text, [&](std::span<const std::uint32_t> offsets, std::size_t base) {
    return walker.feed(offsets, base);
  })) {
    case json::StructuralIndex::Result::Indexed:
      walker.finish();
      break;
    case json::StructuralIndex::Result::NotJson:
      outline.status = Status::Fault;  // the values before the fault are still worth checking
      break;
    case json::StructuralIndex::Result::Unindexable:
      return out;
  }
  if (outline.status == Status::Unsupported) return out;

  const std::string_view cmd =
      outline.has_cmd ? text.substr(outline.cmd.begin, outline.cmd.end - outline.cmd.begin) : "";
  const std::string_view cmd_token = cmd.substr(0, cmd.find_last_not_of(" \t\n\r") + 1);
  const bool build = outline.status == Status::Complete && outline.last_feeds_is_object &&
                     (cmd_token == "\"build_context\"" || cmd_token == "\"facts\"");
  // A complete request that is not a build is the document path's to answer;
  // a faulty one is read on, for the values the exact path may step over.
  if (outline.status == Status::Complete && !build) return out;

  // The snapshots to convert: the last feeds object's members, the last of
  // a repeated key only. Every other value is only validated.
  const std::vector<json::OutlineValue>& values = outline.values;
  std::vector<std::size_t> to_convert;
  if (build) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (values[i].feeds == outline.feeds_objects) to_convert.push_back(i);
    }
    std::stable_sort(to_convert.begin(), to_convert.end(),
                     [&](std::size_t a, std::size_t b) { return values[a].key < values[b].key; });
    const auto last_of_each = [&](std::size_t a, std::size_t b) {
      return values[a].key == values[b].key;
    };
    std::reverse(to_convert.begin(), to_convert.end());
    to_convert.erase(std::unique(to_convert.begin(), to_convert.end(), last_of_each),
                     to_convert.end());
    std::reverse(to_convert.begin(), to_convert.end());
  }
  std::vector<FeedSnapshot> snapshots(values.size());
  std::vector<char> converts(values.size(), 0);
  for (const std::size_t i : to_convert) converts[i] = 1;

  std::vector<Check> checks(values.size(), Check::Unread);
  std::atomic<std::size_t> first_failure = kNone;
  if (s.slots.size() < pool_slots()) s.slots.resize(pool_slots());
  parallel_slots(values.size(), [&](std::size_t begin, std::size_t end, std::size_t slot) {
    for (std::size_t i = begin; i != end; ++i) {
      // Nothing after the first failure in text order can change the outcome.
      if (i > first_failure.load(std::memory_order_relaxed)) continue;
      Check check = Check::NoMemory;
      try {
        check = s.check(text, values[i], s.slots[slot], converts[i] ? &snapshots[i] : nullptr);
      } catch (const std::bad_alloc&) {
      }
      checks[i] = check;
      if (check == Check::Valid) continue;
      std::size_t seen = first_failure.load(std::memory_order_relaxed);
      while (i < seen && !first_failure.compare_exchange_weak(seen, i)) {
      }
    }
  });

  const std::size_t failure = first_failure.load();
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (checks[i] == Check::Valid) out.known_valid.push_back(values[i].bytes);
  }
  if (failure == kNone && build) {
    FeedMap& feeds = out.feeds.emplace();
    for (const std::size_t i : to_convert) {
      feeds.emplace_hint(feeds.end(), values[i].key, std::move(snapshots[i]));
    }
    return out;
  }
  if (failure != kNone && checks[failure] == Check::NoMemory) throw std::bad_alloc();
  out.invalid = outline.status == Status::Fault;
  if (failure != kNone && !out.invalid) {
    // A value that failed may still be valid JSON (a record that does not
    // convert, an integer beyond 64 bits): only the exact grammar can say.
    const json::OutlineValue& value = values[failure];
    out.invalid = !exactly_valid(
        text.substr(value.bytes.begin, value.bytes.end - value.bytes.begin), value.depth);
  }
  return out;
}

void ForwardReader::trim() {
  State& s = *state_;
  s.index.trim();
  for (Slot& slot : s.slots) {
    if (slot.parser.capacity() > kWarmBytes) slot.parser = json::ondemand::parser();
    if (slot.copy_capacity > kWarmBytes) {
      slot.copy.reset();
      slot.copy_capacity = 0;
    }
  }
  if (s.outline.values.capacity() > kWarmBytes / sizeof(json::OutlineValue)) {
    s.outline.values = {};
  }
}

}  // namespace mellix
