#pragma once
// Error values with a chain of context messages, outermost first.
//
// "{}" of an Error is its outermost message, "{:#}" the whole chain joined by ": ".
// debug() is the multi-line form used for the process's last words on standard error.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/core.h>

namespace qel {

class Error {
  public:
    explicit Error(std::string message) { chain_.push_back(std::move(message)); }

    // An error that wraps an operating-system error code; the code stays queryable.
    static Error os(std::string message, std::uint32_t code) {
        Error e(std::move(message));
        e.os_code_ = code;
        return e;
    }

    // Puts a new outermost message in front of the chain. Out of line: inlined with a literal's
    // length in view, GCC 12 reports a bogus -Warray-bounds inside the insertion.
    Error& context(std::string outer) &;
    Error&& context(std::string outer) && { return std::move(context(std::move(outer))); }

    const std::vector<std::string>& chain() const { return chain_; }
    const std::string& message() const { return chain_.front(); }
    std::optional<std::uint32_t> os_code() const { return os_code_; }

    std::string full() const;   // every message, outermost first, joined by ": "
    std::string debug() const;  // outermost, then "Caused by:" with one line per cause

  private:
    std::vector<std::string> chain_;
    std::optional<std::uint32_t> os_code_;
};

// The result of a fallible operation: a value or an Error.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    T* operator->() { return &value(); }

    Error& error() & { return std::get<1>(v_); }
    const Error& error() const& { return std::get<1>(v_); }
    Error&& error() && { return std::get<1>(std::move(v_)); }

    Result context(std::string outer) && {
        if (!ok())
            std::get<1>(v_).context(std::move(outer));
        return std::move(*this);
    }

  private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : e_(std::move(error)) {}

    bool ok() const { return !e_.has_value(); }
    explicit operator bool() const { return ok(); }

    Error& error() & { return *e_; }
    const Error& error() const& { return *e_; }
    Error&& error() && { return std::move(*e_); }

    Result context(std::string outer) && {
        if (e_)
            e_->context(std::move(outer));
        return std::move(*this);
    }

  private:
    std::optional<Error> e_;
};

}  // namespace qel

template <>
struct fmt::formatter<qel::Error> {
    bool alternate = false;
    constexpr auto parse(fmt::format_parse_context& ctx) {
        auto it = ctx.begin();
        if (it != ctx.end() && *it == '#') {
            alternate = true;
            ++it;
        }
        return it;
    }
    template <class Ctx>
    auto format(const qel::Error& e, Ctx& ctx) const {
        if (alternate)
            return fmt::format_to(ctx.out(), "{}", e.full());
        return fmt::format_to(ctx.out(), "{}", e.message());
    }
};
