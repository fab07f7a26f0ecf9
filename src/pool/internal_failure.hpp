// The one C++ exception type of the project: a broken precondition (tables
// of unequal length, a slot count that does not add up, a pool that could
// not be started).  The numerical routines never throw it; models and the
// worker pool do, and every entry point and every pool piece boundary
// catches it.  It lives with the pool, which the models link, so that the
// pool, the models and the module share one type.
#pragma once

#include <pthread.h>

#include <cstdio>
#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace lumora {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message,
                             std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {
        // The name of the thread that detected the failure, for the report
        // written when the failure reaches Python (workers are unnamed).
        if (pthread_getname_np(pthread_self(), thread_, sizeof thread_) != 0 || thread_[0] == '\0') {
            std::snprintf(thread_, sizeof thread_, "<unnamed>");
        }
    }

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    const char* thread() const noexcept { return thread_; }

private:
    std::string message_;
    std::source_location where_;
    char thread_[16] = {};
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
