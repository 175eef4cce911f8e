// HostValue: one value of a request that the host holds as its own objects
// (a Python dict, say), which the engine reads without JSON text.
//
// A host writes a small view type over its objects that satisfies
// HostValueView below, and hands the engine HostValue(view_of_root); the
// engine reads it with the same conversions as a parsed JSON text, so a
// request answers alike however it came. A HostValue holds a scalar's value,
// read from the view when it is made, or a copy of a container's view (which
// must be trivially copyable and at most kInlineBytes), and so does every
// HostValue the engine makes of a child: nothing is allocated. The objects
// the views point at are the host's, which keeps them alive and unchanged
// for the call. The engine reads the views on the calling thread only and
// keeps none past the call; each value costs it an indirect call or two.
//
// What a view reports is what the JSON text of the objects would hold:
//  - type(): Int64 for a non-negative integer that fits in 64 signed bits,
//    UInt64 for a larger one up to 2^64-1, Double for any other number;
//  - for_each_member(): an object's members in any order (the engine reads
//    them as a parsed document does: in ascending byte order of their keys,
//    the last of repeated keys winning); for_each_element(): an array's
//    elements in order. Both call `f` per child and stop early, returning
//    false, when `f` does, or before a child the view cannot vouch for (a
//    value the text could not carry; the host then refuses the request
//    itself, see Engine::refuse);
//  - size(): an array's elements or an object's members;
//  - optionally check_passed_over(): whether a container that no conversion
//    reads (a member the engine does not know) holds only values with a JSON
//    form. A scalar handed over is vouched for already.
// The nesting limit (mellix/request_limits.hpp) is the host's to enforce.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>

namespace mellix {

// The JSON value categories every view reports.
enum class ValueType : std::uint8_t { Null, Bool, Int64, UInt64, Double, String, Array, Object };

class HostValue;

// What every view of a JSON value offers the conversions: its type, the
// getter of each scalar type, and the walks over a container's children.
// The engine's own views over text add their offsets (json/value_type.hpp).
template <class V>
concept ReadableValue = requires(const V& v, bool (*on_element)(const V&),
                                 bool (*on_member)(std::string_view, const V&)) {
  { v.type() } -> std::same_as<ValueType>;
  { v.get_bool() } -> std::same_as<bool>;
  { v.get_int64() } -> std::same_as<std::int64_t>;
  { v.get_uint64() } -> std::same_as<std::uint64_t>;
  { v.get_double() } -> std::same_as<double>;
  { v.get_string() } -> std::convertible_to<std::string_view>;
  { v.for_each_element(on_element) } -> std::same_as<bool>;
  { v.for_each_member(on_member) } -> std::same_as<bool>;
};

// A host's view: readable, copied as bytes, and able to count a container.
template <class V>
concept HostValueView =
    ReadableValue<V> && std::is_trivially_copyable_v<V> && requires(const V& v) {
      { v.size() } -> std::convertible_to<std::size_t>;
    };

class HostValue {
 public:
  static constexpr std::size_t kInlineBytes = 48;

  template <HostValueView V>
    requires(sizeof(V) <= kInlineBytes && alignof(V) <= alignof(void*))
  explicit HostValue(const V& view) noexcept : ops_(&kOps<V>), type_(view.type()) {
    // A scalar is read once, here, where the view's calls inline; only a
    // container keeps the view, for the calls that walk it.
    switch (type_) {
      case ValueType::Null:
        break;
      case ValueType::Bool:
        scalar_.boolean = view.get_bool();
        break;
      case ValueType::Int64:
        scalar_.int64 = view.get_int64();
        break;
      case ValueType::UInt64:
        scalar_.uint64 = view.get_uint64();
        break;
      case ValueType::Double:
        scalar_.real = view.get_double();
        break;
      case ValueType::String: {
        const std::string_view string = view.get_string();
        scalar_.data = string.data();
        scalar_.size = string.size();
        break;
      }
      case ValueType::Array:
      case ValueType::Object:
        ::new (static_cast<void*>(storage_)) V(view);
        break;
    }
  }

  // The engine calls only the getter of the type reported, and size() and
  // the walks only on a container.
  ValueType type() const { return type_; }
  bool get_bool() const { return scalar_.boolean; }
  std::int64_t get_int64() const { return scalar_.int64; }
  std::uint64_t get_uint64() const { return scalar_.uint64; }
  double get_double() const { return scalar_.real; }
  std::string_view get_string() const { return {scalar_.data, scalar_.size}; }
  std::size_t size() const { return ops_->size(storage_); }
  bool check_passed_over() const { return !is_container() || ops_->check_passed_over(storage_); }

  template <class F>
  bool for_each_element(F&& f) const {
    using Callable = std::remove_reference_t<F>;
    return ops_->for_each_element(storage_, const_cast<void*>(static_cast<const void*>(&f)),
                                  [](void* callable, const HostValue& element) -> bool {
                                    return (*static_cast<Callable*>(callable))(element);
                                  });
  }
  template <class F>
  bool for_each_member(F&& f) const {
    using Callable = std::remove_reference_t<F>;
    return ops_->for_each_member(
        storage_, const_cast<void*>(static_cast<const void*>(&f)),
        [](void* callable, std::string_view key, const HostValue& value) -> bool {
          return (*static_cast<Callable*>(callable))(key, value);
        });
  }

  // A host's objects are no text: they have no offsets.
  std::optional<std::size_t> begin_offset() const { return std::nullopt; }
  std::optional<std::size_t> end_offset() const { return std::nullopt; }

 private:
  using OnElement = bool (*)(void*, const HostValue&);
  using OnMember = bool (*)(void*, std::string_view, const HostValue&);

  // The calls that walk a container, one table per view type.
  struct Ops {
    std::size_t (*size)(const void*);
    bool (*check_passed_over)(const void*);
    bool (*for_each_element)(const void*, void*, OnElement);
    bool (*for_each_member)(const void*, void*, OnMember);
  };

  template <class V>
  static const V& view(const void* storage) {
    return *std::launder(static_cast<const V*>(storage));
  }

  template <class V>
  static constexpr Ops kOps = {
      .size = [](const void* s) { return static_cast<std::size_t>(view<V>(s).size()); },
      .check_passed_over =
          [](const void* s) {
            if constexpr (requires(const V& v) { v.check_passed_over(); }) {
              return view<V>(s).check_passed_over();
            } else {
              return true;
            }
          },
      .for_each_element =
          [](const void* s, void* callable, OnElement on_element) {
            return view<V>(s).for_each_element(
                [&](const V& element) { return on_element(callable, HostValue(element)); });
          },
      .for_each_member =
          [](const void* s, void* callable, OnMember on_member) {
            return view<V>(s).for_each_member([&](std::string_view key, const V& value) {
              return on_member(callable, key, HostValue(value));
            });
          },
  };

  bool is_container() const { return type_ == ValueType::Array || type_ == ValueType::Object; }

  // A scalar's value: the number, or the string's bytes (the view's).
  struct Scalar {
    union {
      bool boolean;
      std::int64_t int64;
      std::uint64_t uint64;
      double real;
    };
    const char* data;
    std::size_t size;
  };

  union {
    alignas(void*) unsigned char storage_[kInlineBytes];  // a container's view
    Scalar scalar_;
  };
  const Ops* ops_;
  ValueType type_;
};

}  // namespace mellix
