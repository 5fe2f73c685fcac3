// Broken internal invariants ("panics"). They are not error values: they
// unwind as a C++ exception of type Panic. Worker threads catch them and carry
// them to the calling thread; the Python boundary turns them into the binding
// layer's panic exception (a BaseException subclass).
#pragma once

#include <exception>
#include <string>

namespace jorvane {

class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

// Throws Panic with the given text.
[[noreturn]] void panic(std::string message);

}  // namespace jorvane
