#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

// Why a call failed: a code and a fixed text for the log line of the caller that reports it.
// The code is whatever the edge that sees it needs (a status a peer receives, a number a file
// keeps, an errno); inside the server only its presence means failure.
struct CError {
    int code = -1;
    std::string message;
};

// The outcome of a call that can fail: its value, or the error that stopped it. One type for
// every layer, so a failure travels up unchanged to where it is reported once. CResult<> is a
// plain success or failure. Our own rather than std::expected: that needs C++23, and the
// fuzzing build's clang 14 cannot compile libstdc++ 12's <expected>.
template <class T = void>
class [[nodiscard]] CResult {
    static_assert(!std::is_same_v<std::decay_t<T>, CError>, "a value is not an error");

  public:
    CResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    CResult(CError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool Ok() const { return state_.index() == 0; }
    explicit operator bool() const { return Ok(); }

    // Only when Ok().
    T& Value() & { return std::get<0>(state_); }
    const T& Value() const& { return std::get<0>(state_); }
    T&& Value() && { return std::get<0>(std::move(state_)); }
    T ValueOr(T fallback) const& { return Ok() ? Value() : std::move(fallback); }

    // Only when !Ok().
    const CError& Error() const { return std::get<1>(state_); }
    int Code() const { return Error().code; }
    const std::string& Message() const { return Error().message; }

  private:
    std::variant<T, CError> state_;
};

template <>
class [[nodiscard]] CResult<void> {
  public:
    CResult() = default;
    CResult(CError error) : error_(std::move(error)) {}

    bool Ok() const { return !error_; }
    explicit operator bool() const { return Ok(); }

    // Only when !Ok().
    const CError& Error() const { return *error_; }
    int Code() const { return error_->code; }
    const std::string& Message() const { return error_->message; }

  private:
    std::optional<CError> error_;
};

// Success of a CResult<>, for symmetry with returning a CError.
inline CResult<> Success() {
    return {};
}
