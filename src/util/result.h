// Result<T, E>: a value or an error, the way every fallible engine operation
// reports failure. Exceptions are kept for panics (broken invariants) only.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace jorvane {

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> make_err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class F, class = std::enable_if_t<std::is_convertible_v<F, E>>>
    Result(Err<F> err) : v_(std::in_place_index<1>, E(std::move(err.error))) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(v_); }
    const T& value() const& { assert(ok()); return std::get<0>(v_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    E& error() & { assert(!ok()); return std::get<1>(v_); }
    const E& error() const& { assert(!ok()); return std::get<1>(v_); }
    E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

private:
    std::variant<T, E> v_;
};

// Result<void, E>: success carries nothing.
struct Unit {
    bool operator==(const Unit&) const = default;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class F, class = std::enable_if_t<std::is_convertible_v<F, E>>>
    Result(Err<F> err) : v_(std::in_place_index<1>, E(std::move(err.error))) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    E& error() & { assert(!ok()); return std::get<1>(v_); }
    const E& error() const& { assert(!ok()); return std::get<1>(v_); }
    E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

private:
    std::variant<Unit, E> v_;
};

}  // namespace jorvane
