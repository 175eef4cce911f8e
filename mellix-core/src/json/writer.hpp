// Compact JSON writing into a caller-owned growing string.
//
// Strings get the standard escapes only: \" \\ \b \f \n \r \t, other bytes
// below 0x20 as \u00xx (lower-case hex); every other byte, 0x7F and all of
// multi-byte UTF-8 included, is copied as it is. ObjectWriter writes the
// objects the engine assembles itself, whose members must come in ascending
// byte order of their names; it checks that order in debug builds.
#pragma once

#include <cassert>
#include <string>
#include <string_view>

namespace mellix::json {

void append_string(std::string& out, std::string_view text);

class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_ += '{'; }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;

  // Writes the member name and ':'; the caller appends the value to out().
  std::string& key(std::string_view name) {
    assert((first_ || last_key_ < name) && "members must be written in ascending name order");
    if (!first_) out_ += ',';
    first_ = false;
    last_key_ = name;
    append_string(out_, name);
    out_ += ':';
    return out_;
  }
  ObjectWriter& string(std::string_view name, std::string_view value) {
    append_string(key(name), value);
    return *this;
  }
  ObjectWriter& boolean(std::string_view name, bool value) {
    key(name) += value ? "true" : "false";
    return *this;
  }
  void close() { out_ += '}'; }

 private:
  std::string& out_;
  std::string_view last_key_;
  bool first_ = true;
};

}  // namespace mellix::json
