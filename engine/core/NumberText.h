#pragma once

#include <string>

namespace tobble::engine {

// Numbers in log lines print in their shortest form that reads back exactly, and always with a
// fractional part or exponent: 48000 prints as "48000.0", 0.2f as "0.2", 1e-05f as "1e-05".
std::string floatText(float value);
std::string doubleText(double value);

}  // namespace tobble::engine
