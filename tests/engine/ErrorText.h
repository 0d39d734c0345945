#pragma once

#include <string>

#include "engine/core/TAKError.h"

namespace tobble::testing {

// The description of the TAKError `call` throws, or "no error".
template <typename Call>
std::string errorOf(Call call) {
    try {
        call();
    } catch (const engine::TAKError& error) {
        return error.description();
    }
    return "no error";
}

}  // namespace tobble::testing
