// Passing a failure up: the two macros with which a function that returns a
// std::expected (an EngineResult, or the surface's Result) hands on the error of
// a step that failed, in the shape of absl's ASSIGN_OR_RETURN and RETURN_IF_ERROR.
//
// Macros, because only a macro can return from the function that uses it; they
// are written without GNU statement expressions so that -pedantic-errors accepts
// them. The error is moved, not copied: a surface error owns a Python reference.
// The step's error type must be the function's; where it is not (an engine fault
// that becomes a Python exception), the caller converts it by hand.
#pragma once

#include <expected>
#include <utility>

#define VELMORA_PROPAGATE_CONCAT_INNER(a, b) a##b
#define VELMORA_PROPAGATE_CONCAT(a, b) VELMORA_PROPAGATE_CONCAT_INNER(a, b)

// VELMORA_ASSIGN_OR_RETURN(declaration, expression): evaluates the expression, a
// std::expected; returns its error from the enclosing function if it holds one, else
// initialises the declaration ("auto x", "const Type x" or an existing variable) with
// its value, moved. A statement of its own: it expands to three, so it cannot be the
// sole body of an if or a loop without braces.
#define VELMORA_ASSIGN_OR_RETURN(declaration, ...)                                     \
    VELMORA_ASSIGN_OR_RETURN_WITH(VELMORA_PROPAGATE_CONCAT(velmora_result_, __LINE__), \
                                  declaration, __VA_ARGS__)

#define VELMORA_ASSIGN_OR_RETURN_WITH(result, declaration, ...)     \
    auto result = (__VA_ARGS__);                                    \
    if (!result) return std::unexpected(std::move(result).error()); \
    declaration = std::move(*result)

// VELMORA_RETURN_IF_ERROR(expression): evaluates the expression, a std::expected of
// any value type, and returns its error from the enclosing function if it holds one.
#define VELMORA_RETURN_IF_ERROR(...)                                    \
    do {                                                                \
        if (auto velmora_status_ = (__VA_ARGS__); !velmora_status_) {   \
            return std::unexpected(std::move(velmora_status_).error()); \
        }                                                               \
    } while (false)
