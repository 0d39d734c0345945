#include "engine/core/FourCC.h"

namespace tobble::engine {

std::string fourCC(uint32_t code) {
    std::string out(4, '?');
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<unsigned char>((code >> (24 - 8 * i)) & 0xFF);
        if (byte >= 32 && byte <= 126) out[static_cast<size_t>(i)] = static_cast<char>(byte);
    }
    return out;
}

std::string statusText(int32_t status) {
    return std::to_string(status) + " (" + fourCC(status) + ")";
}

}  // namespace tobble::engine
