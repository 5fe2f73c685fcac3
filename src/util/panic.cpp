#include "util/panic.h"

namespace jorvane {

void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace jorvane
