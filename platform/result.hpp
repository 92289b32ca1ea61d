// A value or the reason there is none. Operations whose failure has a cause worth telling
// (which check refused a file, with its errno) return one instead of a bare code.
#pragma once

#include <utility>
#include <variant>

namespace kavori::platform {

template <typename E>
struct Failure {
  E error;
};

template <typename E>
Failure<E> Fail(E error) {
  return Failure<E>{std::move(error)};
}

template <typename T, typename E>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  // Only when has_value().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  // Only when !has_value().
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace kavori::platform
