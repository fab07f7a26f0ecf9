// Value-or-error results of the numerical routines.
//
// A fallible routine returns std::expected<double, EllipticError>.  The
// error carries a pointer to a static message text: no allocation, no
// formatting, so it can be returned from any thread and copied freely.
#pragma once

#include <expected>

namespace lumora {

struct EllipticError {
    const char* message;  // static storage, never freed
};

using EllipticResult = std::expected<double, EllipticError>;

}  // namespace lumora
