#include "engine/core/NumberText.h"

#include <charconv>
#include <cmath>

namespace tobble::engine {
namespace {

template <typename T>
std::string shortestText(T value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

}  // namespace

std::string floatText(float value) { return shortestText(value); }
std::string doubleText(double value) { return shortestText(value); }

}  // namespace tobble::engine
