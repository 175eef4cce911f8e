#include "mellix/engine_error.hpp"

namespace mellix {
namespace {

std::string_view prefix(EngineError::Kind kind) {
  switch (kind) {
    case EngineError::Kind::Parse:
      return "parse: ";
    case EngineError::Kind::UnknownIndicator:
      return "unknown indicator: ";
    case EngineError::Kind::BadSpec:
      return "bad spec: ";
    case EngineError::Kind::Data:
      return "data: ";
  }
  return "";
}

}  // namespace

EngineError EngineError::missing(std::string_view name) {
  std::string m = "missing \"";
  m += name;
  m += '"';
  return bad_spec(std::move(m));
}

EngineError EngineError::missing_string(std::string_view name) {
  std::string m = "missing string \"";
  m += name;
  m += '"';
  return bad_spec(std::move(m));
}

std::string EngineError::render() const {
  const std::string_view p = prefix(kind_);
  std::string out;
  out.reserve(p.size() + message_.size());
  out += p;
  out += message_;
  return out;
}

}  // namespace mellix
