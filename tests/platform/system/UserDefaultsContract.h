#pragma once

// What every UserDefaults implementation promises, run against each of them. A source file
// instantiates the suite with a "domain" type whose make() opens a fresh, empty domain and whose
// reopen() closes a domain and opens it again (a persistent one reads back what it stored).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "platform/system/UserDefaults.h"

namespace tobble::system::contract {

template <typename Domain>
class UserDefaultsContract : public ::testing::Test {
  protected:
    void reopen() { defaults = domain.reopen(std::move(defaults)); }

    Domain domain;
    std::unique_ptr<UserDefaults> defaults = domain.make();
};

TYPED_TEST_SUITE_P(UserDefaultsContract);

TYPED_TEST_P(UserDefaultsContract, EveryTypeReadsBackAsWrittenIncludingExtremes) {
    DefaultsData allBytes;
    for (int b = 0; b < 256; ++b) allBytes.push_back(static_cast<uint8_t>(b));
    // Present but empty text or data is not the same as absent.
    const std::vector<std::pair<std::string, DefaultsValue>> values = {
        {"min", std::numeric_limits<int64_t>::min()},
        {"max", std::numeric_limits<int64_t>::max()},
        {"tenth", 0.1},
        {"tiny", -2.5e-300},
        {"huge", std::numeric_limits<double>::infinity()},
        {"yes", true},
        {"no", false},
        {"text", std::string("string:int:5 @tag, a;b=c\n\"quoted\" \\ Grüße ♪")},
        {"emptyText", std::string()},
        {"bytes", allBytes},
        {"emptyBytes", DefaultsData{}},
    };
    for (const auto& [key, value] : values) this->defaults->set(key, value);
    this->reopen();
    for (const auto& [key, value] : values) EXPECT_EQ(this->defaults->object(key), value) << key;
}

TYPED_TEST_P(UserDefaultsContract, NumbersAndBooleansConvertButTextAndDataDoNot) {
    UserDefaults& d = *this->defaults;
    EXPECT_EQ(d.integer("absent"), 0);
    EXPECT_FALSE(d.boolean("absent"));
    EXPECT_EQ(d.string("absent"), std::nullopt);
    d.setInteger("count", 3);
    d.setNumber("gain", 2.9);
    d.setNumber("notANumber", std::nan(""));
    d.setBoolean("flag", true);
    d.setString("digits", "5");
    d.setData("blob", {1, 2});

    EXPECT_EQ(d.number("count"), 3.0);
    EXPECT_TRUE(d.boolean("count"));
    EXPECT_EQ(d.integer("gain"), 2);  // truncated, as the platform does
    EXPECT_EQ(d.integer("notANumber"), 0);
    EXPECT_EQ(d.integer("flag"), 1);
    EXPECT_EQ(d.integer("digits"), 0);
    EXPECT_FALSE(d.boolean("digits"));
    EXPECT_EQ(d.string("count"), std::nullopt);
    EXPECT_EQ(d.data("digits"), std::nullopt);
    EXPECT_EQ(d.string("blob"), std::nullopt);
}

TYPED_TEST_P(UserDefaultsContract, RegisteredDefaultsAnswerOnlyUntilAValueIsSet) {
    UserDefaults& d = *this->defaults;
    d.registerDefaults({{"volume", 1.0}, {"name", std::string("default")}});
    EXPECT_EQ(d.number("volume"), 1.0);

    d.setNumber("volume", 0.25);
    d.registerDefaults({{"volume", 0.75}});  // a new default does not hide a stored value
    EXPECT_EQ(d.number("volume"), 0.25);

    d.remove("volume");
    EXPECT_EQ(d.number("volume"), 0.75);  // the latest registration
    EXPECT_EQ(d.string("name"), "default");
}

TYPED_TEST_P(UserDefaultsContract, ASetReplacesTheValueAndItsType) {
    UserDefaults& d = *this->defaults;
    d.setString("key", "text");
    d.setInteger("key", 7);
    EXPECT_EQ(d.object("key"), DefaultsValue(int64_t{7}));
    d.remove("key");
    d.remove("key");  // removing twice is harmless
    EXPECT_EQ(d.object("key"), std::nullopt);
}

TYPED_TEST_P(UserDefaultsContract, ConcurrentWritersLoseNothing) {
    UserDefaults& d = *this->defaults;
    constexpr int kThreads = 4;
    constexpr int kWrites = 50;
    const auto key = [](int t, int i) { return "t" + std::to_string(t) + "." + std::to_string(i); };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kWrites; ++i) {
                d.setInteger(key(t, i), t * 1000 + i);
                (void)d.integer("t0.0");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    this->reopen();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWrites; ++i)
            EXPECT_EQ(this->defaults->integer(key(t, i)), t * 1000 + i);
    }
}

REGISTER_TYPED_TEST_SUITE_P(UserDefaultsContract, EveryTypeReadsBackAsWrittenIncludingExtremes,
                            NumbersAndBooleansConvertButTextAndDataDoNot,
                            RegisteredDefaultsAnswerOnlyUntilAValueIsSet,
                            ASetReplacesTheValueAndItsType, ConcurrentWritersLoseNothing);

}  // namespace tobble::system::contract
