#include "json/forward_value.hpp"

namespace mellix::json {
namespace detail {

bool validate_value(ondemand::value value, std::size_t depth) {
  ondemand::json_type type;
  if (value.type().get(type)) return false;
  switch (type) {
    case ondemand::json_type::object: {
      ondemand::object object;
      return depth + 1 < kMaxNesting && !value.get_object().get(object) &&
             validate_object(object, depth + 1);
    }
    case ondemand::json_type::array: {
      ondemand::array array;
      return depth + 1 < kMaxNesting && !value.get_array().get(array) &&
             validate_array(array, depth + 1);
    }
    case ondemand::json_type::string: {
      std::string_view text;
      return !value.get_string().get(text);
    }
    case ondemand::json_type::number: {
      ondemand::number number;
      return !value.get_number().get(number);
    }
    case ondemand::json_type::boolean: {
      bool boolean = false;
      return !value.get_bool().get(boolean);
    }
    case ondemand::json_type::null: {
      bool is_null = false;
      return !value.is_null().get(is_null) && is_null;
    }
  }
  return false;
}

bool validate_object(ondemand::object& object, std::size_t depth) {
  for (auto item : object) {
    ondemand::field field;
    std::string_view key;
    if (std::move(item).get(field) || field.unescaped_key().get(key)) return false;
    if (!validate_value(field.value(), depth)) return false;
  }
  return true;
}

bool validate_array(ondemand::array& array, std::size_t depth) {
  for (auto item : array) {
    ondemand::value element;
    if (std::move(item).get(element) || !validate_value(element, depth)) return false;
  }
  return true;
}

}  // namespace detail

bool validate_document(ondemand::document& doc, std::size_t depth) {
  ondemand::json_type type;
  if (doc.type().get(type) || depth + 1 >= kMaxNesting) return false;
  bool valid = false;
  if (type == ondemand::json_type::object) {
    ondemand::object object;
    valid = !doc.get_object().get(object) && detail::validate_object(object, depth + 1);
  } else if (type == ondemand::json_type::array) {
    ondemand::array array;
    valid = !doc.get_array().get(array) && detail::validate_array(array, depth + 1);
  }
  return valid && at_end(doc);
}

bool ForwardValue::validate_unread() const {
  read_ = true;
  const bool valid = can_open() && (doc_ ? validate_document(*doc_, depth_)
                                         : detail::validate_value(value_, depth_));
  return valid || state_->give_up();
}

}  // namespace mellix::json
