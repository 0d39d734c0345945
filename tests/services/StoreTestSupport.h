#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/log/CaptureSink.h"
#include "platform/system/InMemoryUserDefaults.h"

namespace tobble::app::testing {

// A store's defaults domain, read and written as the text the user's settings file holds, and
// the error lines the store logged.
struct StoreTestBed {
    system::InMemoryUserDefaults defaults;
    log::ScopedCapture capture;

    void setText(std::string_view key, std::string_view text) {
        defaults.setData(key, system::DefaultsData(text.begin(), text.end()));
    }
    std::string text(std::string_view key) const {
        auto data = defaults.data(key);
        return data ? std::string(data->begin(), data->end()) : std::string("<absent>");
    }
    std::vector<std::string> errors() { return capture->messages(log::Level::Error); }
};

}  // namespace tobble::app::testing
