#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tobble::shell {

// One release in an update feed: an RSS item with a version and where to get it.
struct AppcastItem {
    std::string title;
    std::string version;         // compared with the running version
    std::string displayVersion;  // shown to the user; the version when absent
    std::string downloadURL;     // the page or file the user is offered
};

struct AppcastParseResult {
    std::vector<AppcastItem> items;  // items without a version or a link are left out
    std::string error;               // non-empty: the feed is not a readable RSS document
};

// Reads an RSS 2.0 feed whose items carry "sparkle:version" (element or enclosure attribute),
// optionally "sparkle:shortVersionString", and a <link> or an enclosure URL.
AppcastParseResult parseAppcast(std::string_view xml);

// Orders dotted versions the way people read them: number runs compare as numbers
// (1.10 > 1.9, 2.0 == 2), letter runs as text, and a pre-release tag sorts before its release
// (1.2b1 < 1.2).
int compareVersions(std::string_view a, std::string_view b);

// The newest item newer than `currentVersion`, if any.
std::optional<AppcastItem> newestUpdate(const std::vector<AppcastItem>& items,
                                        std::string_view currentVersion);

}  // namespace tobble::shell
