#include "read/forward_reader.hpp"

#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

#include "json/forward_value.hpp"
#include "json/request_outline.hpp"
#include "json/structural_index.hpp"
#include "mellix/command_table.hpp"
#include "mellix/request_limits.hpp"
#include "model/model_json.hpp"
#include "system/pool.hpp"

namespace mellix {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// A worker's buffers (about 6 bytes a span byte, for each task that ran at
// once) stay warm for spans up to kWarmBufferBytes.
constexpr std::size_t kWarmBytes = kWarmBufferBytes;

// A worker's own parser, and a padded copy of a span the text cannot pad.
struct Slot {
  json::ondemand::parser parser;
  std::unique_ptr<char[]> copy;
  std::size_t copy_capacity = 0;
};

// The slots of the tasks running at a time: one is taken for a task and
// given back after it, so there are never more than tasks running at once.
class Slots {
 public:
  std::unique_ptr<Slot> take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return std::make_unique<Slot>();
    std::unique_ptr<Slot> slot = std::move(free_.back());
    free_.pop_back();
    return slot;
  }
  void give_back(std::unique_ptr<Slot> slot) {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(slot));
  }
  // Only while no task runs.
  std::vector<std::unique_ptr<Slot>>& all() { return free_; }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Slot>> free_;
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

// One outline value on its way through the pool.
struct Work {
  json::OutlineValue value;
  std::size_t order = 0;  // its place in text order
  bool converted = false;
  Check check = Check::Unread;
  FeedSnapshot snapshot;
};

// What one read_build() hands to the pool: the values in batches, and the
// first of them in text order that failed. The tasks go (are waited for)
// before the batches they read.
struct Dispatch {
  std::vector<std::unique_ptr<std::vector<Work>>> batches;
  std::atomic<std::size_t> first_failure = kNone;
  std::size_t dispatched = 0;  // feeds members before this one are on their way
  TaskGroup tasks;
};

// The snapshots of a build: the last feeds object's members, the last of a
// repeated key only, in key order.
std::vector<std::size_t> build_snapshots(const json::RequestOutline& outline) {
  const std::vector<json::OutlineValue>& values = outline.values;
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i].feeds == outline.feeds_objects) chosen.push_back(i);
  }
  std::stable_sort(chosen.begin(), chosen.end(),
                   [&](std::size_t a, std::size_t b) { return values[a].key < values[b].key; });
  std::reverse(chosen.begin(), chosen.end());
  chosen.erase(
      std::unique(chosen.begin(), chosen.end(),
                  [&](std::size_t a, std::size_t b) { return values[a].key == values[b].key; }),
      chosen.end());
  std::reverse(chosen.begin(), chosen.end());
  return chosen;
}

// Whether the outline is of a build: its last "cmd" written as one.
bool is_build(std::string_view text, const json::RequestOutline& outline) {
  if (outline.status != json::RequestOutline::Status::Complete || !outline.last_feeds_is_object ||
      !outline.has_cmd) {
    return false;
  }
  const std::string_view cmd = text.substr(outline.cmd.begin, outline.cmd.end - outline.cmd.begin);
  const std::string_view token = cmd.substr(0, cmd.find_last_not_of(" \t\n\r") + 1);
  // Only a name written without escapes is recognised here; any other
  // spelling is left to the document path, which unescapes it.
  return token.size() >= 2 && token.front() == '"' && token.back() == '"' &&
         is_build_command(token.substr(1, token.size() - 2));
}

}  // namespace

struct ForwardReader::State {
  json::StructuralIndex index;
  json::RequestOutline outline;
  Slots slots;

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
    std::memset(slot.copy.get() + length, ' ', simdjson::SIMDJSON_PADDING);
    return simdjson::padded_string_view(slot.copy.get(), length,
                                        length + simdjson::SIMDJSON_PADDING);
  }

  // check(), with an allocation failure as its outcome.
  Check guarded_check(std::string_view text, const json::OutlineValue& value, Slot& slot,
                      FeedSnapshot* snapshot) {
    try {
      return check(text, value, slot, snapshot);
    } catch (const std::bad_alloc&) {
      return Check::NoMemory;
    }
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

  // Indexes the text and outlines it, handing each chunk's new feeds
  // members to the pool at once (any of them could be the last one's).
  void outline_and_dispatch(std::string_view text, Dispatch& dispatch) {
    json::OutlineWalker walker(text, outline);
    const auto indexed =
        index.index(text, [&](std::span<const std::uint32_t> offsets, std::size_t base) {
          const bool more = walker.feed(offsets, base);
          this->dispatch(text, dispatch, true);
          return more;
        });
    switch (indexed) {
      case json::StructuralIndex::Result::Indexed:
        walker.finish();
        break;
      case json::StructuralIndex::Result::NotJson:
        // The values before the fault are still worth checking.
        outline.status = json::RequestOutline::Status::Fault;
        break;
      case json::StructuralIndex::Result::Unindexable:
        outline.status = json::RequestOutline::Status::Unsupported;
        break;
    }
  }

  // Hands the outline's feeds members not yet handed out, or the root's
  // other members, to the pool as one batch.
  void dispatch(std::string_view text, Dispatch& dispatch, bool feeds_members) {
    const std::vector<json::OutlineValue>& values = outline.values;
    auto batch = std::make_unique<std::vector<Work>>();
    for (std::size_t i = feeds_members ? dispatch.dispatched : 0; i < values.size(); ++i) {
      if ((values[i].feeds != 0) != feeds_members) continue;
      Work& w = batch->emplace_back();
      w.value = values[i];
      w.order = i;
      w.converted = feeds_members;
    }
    if (feeds_members) dispatch.dispatched = values.size();
    if (batch->empty()) return;
    std::vector<Work>* work = batch.get();
    dispatch.batches.push_back(std::move(batch));
    std::atomic<std::size_t>* first_failure = &dispatch.first_failure;
    dispatch.tasks.run(
        [this, text, work, first_failure] { run_batch(text, *work, *first_failure); });
  }

  // A batch on the pool: past the first failure in text order, no value can
  // change the outcome.
  void run_batch(std::string_view text, std::vector<Work>& work,
                 std::atomic<std::size_t>& first_failure) {
    std::unique_ptr<Slot> slot = slots.take();
    for (Work& w : work) {
      if (w.order > first_failure.load(std::memory_order_relaxed)) continue;
      w.check = guarded_check(text, w.value, *slot, w.converted ? &w.snapshot : nullptr);
      if (w.check == Check::Valid) continue;
      std::size_t seen = first_failure.load(std::memory_order_relaxed);
      while (w.order < seen && !first_failure.compare_exchange_weak(seen, w.order)) {
      }
    }
    slots.give_back(std::move(slot));
  }

  // The first value in text order that fails, or kNone; the values before
  // it go to `valid`. What a worker left unread, or converted though it is
  // not one of the build's snapshots and so only needs to be valid, is
  // settled here.
  std::size_t settle(std::string_view text, const std::vector<Work*>& by_order,
                     const std::vector<std::size_t>& snapshots,
                     std::vector<json::ByteSpan>& valid) {
    std::vector<char> is_snapshot(by_order.size(), 0);
    for (const std::size_t i : snapshots) is_snapshot[i] = 1;
    std::unique_ptr<Slot> slot;
    std::size_t failure = kNone;
    for (std::size_t i = 0; i < by_order.size() && failure == kNone; ++i) {
      Work& w = *by_order[i];
      if (w.check == Check::Unread ||
          (w.converted && !is_snapshot[i] && w.check == Check::Failed)) {
        w.converted = is_snapshot[i] != 0;
        if (!slot) slot = slots.take();
        w.check = guarded_check(text, w.value, *slot, w.converted ? &w.snapshot : nullptr);
      }
      if (w.check == Check::Valid) {
        valid.push_back(w.value.bytes);
      } else {
        failure = i;
      }
    }
    if (slot) slots.give_back(std::move(slot));
    return failure;
  }
};

ForwardReader::ForwardReader() : state_(std::make_unique<State>()) {}
ForwardReader::ForwardReader(ForwardReader&&) noexcept = default;
ForwardReader& ForwardReader::operator=(ForwardReader&&) noexcept = default;
ForwardReader::~ForwardReader() = default;

ForwardOutcome ForwardReader::read_build(std::string_view text) {
  using Status = json::RequestOutline::Status;
  State& s = *state_;
  Dispatch dispatch;
  s.outline_and_dispatch(text, dispatch);
  const bool build = is_build(text, s.outline);
  // A request that is not a build is the document path's to answer; a faulty
  // one is read on, for the values the exact path may step over.
  if (s.outline.status == Status::Unsupported || (s.outline.status == Status::Complete && !build)) {
    return {};
  }
  s.dispatch(text, dispatch, false);
  dispatch.tasks.wait();

  std::vector<Work*> by_order(s.outline.values.size());
  for (const auto& batch : dispatch.batches) {
    for (Work& w : *batch) by_order[w.order] = &w;
  }
  const std::vector<std::size_t> snapshots =
      build ? build_snapshots(s.outline) : std::vector<std::size_t>{};
  ForwardOutcome out;
  const std::size_t failure = s.settle(text, by_order, snapshots, out.known_valid);
  if (failure == kNone && build) {
    FeedMap& feeds = out.feeds.emplace();
    for (const std::size_t i : snapshots) {
      feeds.emplace_hint(feeds.end(), s.outline.values[i].key, std::move(by_order[i]->snapshot));
    }
    return out;
  }
  if (failure != kNone && by_order[failure]->check == Check::NoMemory) throw std::bad_alloc();
  out.invalid = s.outline.status == Status::Fault;
  if (failure != kNone && !out.invalid) {
    // A value that failed may still be valid JSON (a record that does not
    // convert, an integer beyond 64 bits): only the exact grammar can say.
    const json::OutlineValue& value = s.outline.values[failure];
    out.invalid = !exactly_valid(
        text.substr(value.bytes.begin, value.bytes.end - value.bytes.begin), value.depth);
  }
  return out;
}

void ForwardReader::trim() {
  State& s = *state_;
  s.index.trim();
  for (const std::unique_ptr<Slot>& slot : s.slots.all()) {
    if (slot->parser.capacity() > kWarmBytes) slot->parser = json::ondemand::parser();
    if (slot->copy_capacity > kWarmBytes) {
      slot->copy.reset();
      slot->copy_capacity = 0;
    }
  }
  if (s.outline.values.capacity() > kWarmBytes / sizeof(json::OutlineValue)) {
    s.outline.values = {};
  }
}

}  // namespace mellix
