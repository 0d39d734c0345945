#pragma once

#include <string>
#include <string_view>

#include "platform/system/InMemoryUserDefaults.h"

namespace tobble::app::testing {

inline void setText(system::UserDefaults& defaults, std::string_view key, std::string_view text) {
    defaults.setData(key, system::DefaultsData(text.begin(), text.end()));
}

inline std::string text(const system::UserDefaults& defaults, std::string_view key) {
    auto data = defaults.data(key);
    return data ? std::string(data->begin(), data->end()) : std::string("<absent>");
}

}  // namespace tobble::app::testing
