#pragma once

#include <string>

namespace tobble::engine {

// A fresh random UUID in canonical upper-case text form (36 characters with hyphens).
std::string makeUUIDString();

}  // namespace tobble::engine
