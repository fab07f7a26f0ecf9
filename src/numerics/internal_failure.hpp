// The one C++ exception type of the project: a broken precondition (tables
// of unequal length, a slot count that does not add up, a pool that could
// not be started).  The numerical routines never throw it; models and the
// worker pool do, and every entry point and every pool piece boundary
// catches it.  It lives at the lowest layer so that models and the pool,
// which know nothing of each other, share one type.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace lumora {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message,
                             std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// The standard equality-assertion failure: three lines naming both sides.
template <class L, class R>
void assert_equal(const L& left, const R& right,
                  std::source_location where = std::source_location::current()) {
    if (!(left == right)) {
        throw InternalFailure("assertion `left == right` failed\n  left: " + std::to_string(left) +
                                  "\n right: " + std::to_string(right),
                              where);
    }
}

}  // namespace lumora
