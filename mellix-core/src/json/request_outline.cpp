#include "json/request_outline.hpp"

#include <array>

namespace mellix::json {
namespace {

// +1 for an opening bracket, -1 for a closing one.
constexpr std::array<std::int8_t, 256> kBracketDelta = [] {
  std::array<std::int8_t, 256> delta{};
  delta['{'] = delta['['] = 1;
  delta['}'] = delta[']'] = -1;
  return delta;
}();

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

OutlineWalker::OutlineWalker(std::string_view text, RequestOutline& out) : text_(text), out_(out) {
  out.status = RequestOutline::Status::Unsupported;
  out.values.clear();
  out.feeds_objects = 0;
  out.last_feeds_is_object = false;
  out.has_cmd = false;
  out.cmd = {};
}

bool OutlineWalker::feed(std::span<const std::uint32_t> offsets, std::size_t base) {
  const char* text = text_.data() + base;
  const std::uint32_t* at = offsets.data();
  const std::size_t n = offsets.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (state_ == State::Skip) {
      // The one loop that visits every token of a value passed over.
      std::ptrdiff_t depth = skip_depth_;
      for (; i < n; ++i) {
        depth += kBracketDelta[static_cast<unsigned char>(text[at[i]])];
        if (depth == 0) break;
      }
      skip_depth_ = depth;
      if (i == n) break;
      const std::size_t close = base + at[i];
      if ((skip_open_ == '{') != (text_[close] == '}')) return stop(RequestOutline::Status::Fault);
      record({value_at_, close + 1});
      state_ = State::AfterValue;
      continue;
    }
    if (!token(base + at[i])) return false;
  }
  return true;
}

// One token outside a value passed over, at text offset `at`.
bool OutlineWalker::token(std::size_t at) {
  const char c = text_[at];
  switch (state_) {
    case State::Root:
      return root(c);
    case State::FirstKey:
    case State::Key:
      return key(c, at);
    case State::Colon:
      return colon(c, at);
    case State::Value:
      return value(c, at);
    case State::AfterValue:
      return after_value(c, at);
    case State::Skip:
    case State::Done:
      break;
  }
  return stop(RequestOutline::Status::Fault);  // anything after the root
}

bool OutlineWalker::root(char c) {
  if (c != '{') return stop(RequestOutline::Status::Unsupported);
  objects_.push_back(0);
  state_ = State::FirstKey;
  return true;
}

bool OutlineWalker::key(char c, std::size_t at) {
  if (c == '}' && state_ == State::FirstKey) return close_object();  // an empty object
  if (c != '"') return stop(RequestOutline::Status::Fault);
  key_at_ = at;
  state_ = State::Colon;
  return true;
}

bool OutlineWalker::colon(char c, std::size_t at) {
  if (c != ':') return stop(RequestOutline::Status::Fault);
  std::size_t close = at - 1;
  while (close > key_at_ && is_space(text_[close])) --close;
  if (close == key_at_ || text_[close] != '"') return stop(RequestOutline::Status::Fault);
  key_ = text_.substr(key_at_ + 1, close - key_at_ - 1);
  if (key_.find('\\') != std::string_view::npos) return stop(RequestOutline::Status::Unsupported);
  state_ = State::Value;
  return true;
}

bool OutlineWalker::value(char c, std::size_t at) {
  const bool feeds = objects_.size() == 1 && key_ == "feeds";
  if (feeds) out_.last_feeds_is_object = c == '{';
  if (feeds && c == '{') {
    objects_.push_back(++out_.feeds_objects);
    state_ = State::FirstKey;
  } else if (c == '{' || c == '[') {
    value_at_ = at;
    skip_open_ = c;
    skip_depth_ = 1;
    state_ = State::Skip;
  } else if (c == ',' || c == ':' || c == '}' || c == ']') {
    return stop(RequestOutline::Status::Fault);
  } else {
    value_at_ = at;
    pending_scalar_ = true;
    state_ = State::AfterValue;
  }
  return true;
}

bool OutlineWalker::after_value(char c, std::size_t at) {
  if (pending_scalar_) {
    record({value_at_, at});  // a scalar ends where the next token starts
    pending_scalar_ = false;
  }
  if (c == ',') {
    state_ = State::Key;
    return true;
  }
  if (c != '}') return stop(RequestOutline::Status::Fault);
  return close_object();
}

bool OutlineWalker::close_object() {
  objects_.pop_back();
  state_ = objects_.empty() ? State::Done : State::AfterValue;
  return true;
}

void OutlineWalker::record(ByteSpan bytes) {
  const std::size_t depth = objects_.size();
  out_.values.push_back({key_, bytes, depth, objects_.back()});
  if (depth == 1 && key_ == "cmd") {
    out_.has_cmd = true;
    out_.cmd = bytes;
  }
}

bool OutlineWalker::stop(RequestOutline::Status status) {
  out_.status = status;
  stopped_ = true;
  return false;
}

void OutlineWalker::finish() {
  if (stopped_ || state_ == State::Root) return;
  out_.status =
      state_ == State::Done ? RequestOutline::Status::Complete : RequestOutline::Status::Fault;
}

}  // namespace mellix::json
