#include <gtest/gtest.h>

#include <algorithm>

#include "engine/core/TAKProcessMetadata.h"
#include "engine/core/TAKProcessRegistry.h"
#include "platform/system/sim/SimRunningApplications.h"

namespace tobble::engine {
namespace {

TAKRunningAppInfo app(pid_t pid, std::string bundleID, bool isAppBundle = true) {
    return TAKRunningAppInfo{pid, std::move(bundleID), isAppBundle};
}

TAKProcessInfo process(audio::AudioObjectID id, pid_t pid, std::optional<std::string> bundleID,
                       bool running = true, bool output = true) {
    return TAKProcessInfo{id, pid, std::move(bundleID), running, output};
}

TEST(ParentResolutionTest, LongestDottedBundlePrefixWins) {
    TAKParentAppResolver resolver{
        {app(10, "com.example"), app(20, "com.example.Browser"), app(30, "com.example.Brow")}, {}};
    auto r = resolver.resolveParent(99, "com.example.Browser.helper.Renderer");
    EXPECT_EQ(r.parentPID, 20);
    EXPECT_EQ(r.parentBundleID, "com.example.Browser");

    // "com.example.Brow" is a prefix in characters but not followed by a dot.
    r = resolver.resolveParent(98, "com.example.Browser2.helper");
    EXPECT_EQ(r.parentPID, 10);

    // No candidate: the process stands for itself.
    r = resolver.resolveParent(97, "org.other.daemon");
    EXPECT_EQ(r.parentPID, 97);
    EXPECT_EQ(r.parentBundleID, "org.other.daemon");
}

TEST(ParentResolutionTest, ApplicationsKeepTheirOwnPidAndResponsibilityNeedsAnAppBundle) {
    auto lookup = [](pid_t pid) -> std::optional<pid_t> {
        return pid == 50 ? 40 : (pid == 60 ? 70 : 10);
    };
    TAKParentAppResolver resolver{
        {app(50, "com.example.Editor"), app(40, "com.example.Host"),
         app(70, "com.example.Tool", /*isAppBundle=*/false), app(20, "com.example.Browser")},
        lookup};
    // An application process keeps its pid although the lookup names another one.
    EXPECT_EQ(resolver.resolveParent(50, "com.example.Editor").parentPID, 50);
    // A responsible process that is no app bundle falls through to the bundle rules.
    auto r = resolver.resolveParent(60, "com.example.Browser.helper");
    EXPECT_EQ(r.parentPID, 20);
    // No bundle id and no usable responsible app: the process itself, without bundle id.
    TAKParentAppResolver bare{{app(20, "com.example.Browser")}, {}};
    r = bare.resolveParent(61, std::nullopt);
    EXPECT_EQ(r.parentPID, 61);
    EXPECT_FALSE(r.parentBundleID.has_value());
    EXPECT_EQ(bare.resolveParent(62, std::string()).parentPID, 62);
}

TEST(ParentResolutionTest, ResponsibilityAnswersBelowOneOrSelfAreIgnored) {
    auto lookup = TAKResponsibility::lookup([](pid_t pid) -> std::optional<pid_t> {
        if (pid == 1) return 0;
        if (pid == 2) return 2;
        return 7;
    });
    EXPECT_EQ(lookup(1), std::nullopt);
    EXPECT_EQ(lookup(2), std::nullopt);
    EXPECT_EQ(lookup(3), 7);
    EXPECT_FALSE(TAKResponsibility::lookup({}));
}

TEST(GroupingTest, HelpersJoinTheirParentAndTheFirstBundleIdSticks) {
    TAKParentAppResolver resolver{{app(20, "com.example.Browser")},
                                  [](pid_t pid) -> std::optional<pid_t> {
                                      if (pid == 21) return 20;
                                      return std::nullopt;
                                  }};
    const std::vector<TAKProcessInfo> processes = {
        process(100, 21, std::nullopt, true, false),                 // responsible app says 20
        process(101, 22, "com.example.Browser.helper", true, true),  // prefix rule says 20
        process(102, 33, std::nullopt, true, false),
        process(103, 33, "org.other", false, true),  // later bundle id fills the empty one
    };
    auto groups = TAKProcessRegistry::groupByParent(processes, resolver);
    std::sort(groups.begin(), groups.end(),
              [](auto& a, auto& b) { return a.parentPID < b.parentPID; });
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].parentPID, 20);
    EXPECT_EQ(groups[0].parentBundleID, "com.example.Browser");
    EXPECT_EQ(groups[0].processObjectIDs, (std::set<audio::AudioObjectID>{100, 101}));
    EXPECT_TRUE(groups[0].anyRunning);
    EXPECT_TRUE(groups[0].anyRunningOutput);
    EXPECT_EQ(groups[1].parentPID, 33);
    EXPECT_EQ(groups[1].parentBundleID, "org.other");
}

TEST(MetadataTest, NamesFromTheWorkspaceElseFromTheBundleId) {
    system::sim::SimRunningApplications apps;
    apps.launch({.pid = 300, .bundleID = "com.example.Music", .name = "Music"});
    auto music = TAKProcessMetadata::resolve(apps, 300, "com.example.Music");
    EXPECT_EQ(music.name, "Music");
    EXPECT_NE(music.icon.kind, system::IconHandle::Kind::Generic);

    auto unknown = TAKProcessMetadata::resolve(apps, 4242, std::nullopt);
    EXPECT_EQ(unknown.name, "Unknown (pid 4242)");
    EXPECT_EQ(unknown.icon.kind, system::IconHandle::Kind::Generic);
    EXPECT_EQ(TAKProcessMetadata::resolve(apps, 4242, "org.example.daemon").name, "daemon");
    EXPECT_EQ(TAKProcessMetadata::resolve(apps, 4242, "nodots").name, "nodots");
}

}  // namespace
}  // namespace tobble::engine
