#pragma once

#include <QString>

#include <utility>
#include <variant>

namespace tessaline {

// What a decoder reports when it refuses its input. Never shown to the user.
struct DecodeError {
    QString message;
    int code = 1;
};

// A decoded value or the reason there is none; nothing half-decoded escapes a decoder.
template <typename T>
class Expected {
public:
    Expected(T value) : v(std::move(value)) {}
    Expected(DecodeError error) : v(std::move(error)) {}

    bool hasValue() const { return std::holds_alternative<T>(v); }
    explicit operator bool() const { return hasValue(); }

    const T &value() const & { return std::get<T>(v); }
    T &value() & { return std::get<T>(v); }
    T &&value() && { return std::get<T>(std::move(v)); }
    const T *operator->() const { return &std::get<T>(v); }
    const T &operator*() const { return std::get<T>(v); }

    const DecodeError &error() const { return std::get<DecodeError>(v); }

private:
    std::variant<T, DecodeError> v;
};

} // namespace tessaline
