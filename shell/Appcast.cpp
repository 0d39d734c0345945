#include "shell/Appcast.h"

#include <QString>
#include <QXmlStreamReader>
#include <cctype>

namespace tobble::shell {

namespace {

constexpr auto kSparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

struct Token {
    bool numeric = false;
    unsigned long long number = 0;
    std::string text;
};

std::vector<Token> tokenize(std::string_view version) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < version.size()) {
        const auto c = static_cast<unsigned char>(version[i]);
        if (std::isdigit(c)) {
            Token token{true, 0, {}};
            while (i < version.size() && std::isdigit(static_cast<unsigned char>(version[i]))) {
                // Saturate rather than wrap on absurdly long numbers.
                if (token.number < 1'000'000'000'000'000ULL) {
                    token.number = token.number * 10 + static_cast<unsigned>(version[i] - '0');
                }
                ++i;
            }
            tokens.push_back(token);
        } else if (std::isalpha(c)) {
            Token token;
            while (i < version.size() && std::isalpha(static_cast<unsigned char>(version[i]))) {
                token.text +=
                    static_cast<char>(std::tolower(static_cast<unsigned char>(version[i])));
                ++i;
            }
            tokens.push_back(token);
        } else {
            ++i;  // separators
        }
    }
    // Trailing zero components do not make a version newer: 2 == 2.0 == 2.0.0.
    while (!tokens.empty() && tokens.back().numeric && tokens.back().number == 0) tokens.pop_back();
    return tokens;
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
    const auto x = tokenize(a);
    const auto y = tokenize(b);
    const size_t n = std::max(x.size(), y.size());
    for (size_t i = 0; i < n; ++i) {
        if (i >= x.size()) return y[i].numeric ? -1 : 1;  // 1.2 < 1.2.1, but 1.2 > 1.2b
        if (i >= y.size()) return x[i].numeric ? 1 : -1;
        const Token& p = x[i];
        const Token& q = y[i];
        if (p.numeric && q.numeric) {
            if (p.number != q.number) return p.number < q.number ? -1 : 1;
        } else if (p.numeric != q.numeric) {
            return p.numeric ? 1 : -1;  // 1.2.1 > 1.2b
        } else if (p.text != q.text) {
            return p.text < q.text ? -1 : 1;
        }
    }
    return 0;
}

AppcastParseResult parseAppcast(std::string_view xml) {
    AppcastParseResult result;
    QXmlStreamReader reader(QByteArray(xml.data(), static_cast<qsizetype>(xml.size())));
    bool sawRss = false;
    std::optional<AppcastItem> item;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            const auto name = reader.name();
            const bool sparkle = reader.namespaceUri() == QLatin1String(kSparkleNamespace);
            if (name == QLatin1String("rss")) {
                sawRss = true;
            } else if (name == QLatin1String("item") && !sparkle) {
                item = AppcastItem{};
            } else if (item && name == QLatin1String("enclosure")) {
                const auto attrs = reader.attributes();
                const auto url = attrs.value(QLatin1String("url")).toString().toStdString();
                const auto version =
                    attrs.value(QLatin1String(kSparkleNamespace), QLatin1String("version"));
                const auto shortVersion = attrs.value(QLatin1String(kSparkleNamespace),
                                                      QLatin1String("shortVersionString"));
                if (item->downloadURL.empty()) item->downloadURL = url;
                if (item->version.empty()) item->version = version.toString().toStdString();
                if (item->displayVersion.empty()) {
                    item->displayVersion = shortVersion.toString().toStdString();
                }
            } else if (item && (name == QLatin1String("title") || name == QLatin1String("link") ||
                                (sparkle && (name == QLatin1String("version") ||
                                             name == QLatin1String("shortVersionString"))))) {
                const bool isLink = name == QLatin1String("link") && !sparkle;
                const bool isTitle = name == QLatin1String("title") && !sparkle;
                const bool isVersion = sparkle && name == QLatin1String("version");
                const auto text = reader.readElementText(QXmlStreamReader::SkipChildElements)
                                      .trimmed()
                                      .toStdString();
                if (isLink) {
                    item->downloadURL = text;  // the release page wins over the file
                } else if (isTitle) {
                    item->title = text;
                } else if (isVersion) {
                    item->version = text;
                } else {
                    item->displayVersion = text;
                }
            }
        } else if (reader.isEndElement() && reader.name() == QLatin1String("item") && item) {
            if (!item->version.empty() && !item->downloadURL.empty()) {
                if (item->displayVersion.empty()) item->displayVersion = item->version;
                result.items.push_back(*item);
            }
            item.reset();
        }
    }
    if (reader.hasError()) {
        result.items.clear();
        result.error = "the update feed is not valid XML: " + reader.errorString().toStdString();
    } else if (!sawRss) {
        result.error = "the update feed is not an RSS document";
    }
    return result;
}

std::optional<AppcastItem> newestUpdate(const std::vector<AppcastItem>& items,
                                        std::string_view currentVersion) {
    std::optional<AppcastItem> best;
    for (const auto& item : items) {
        if (compareVersions(item.version, currentVersion) <= 0) continue;
        if (!best || compareVersions(item.version, best->version) > 0) best = item;
    }
    return best;
}

}  // namespace tobble::shell
