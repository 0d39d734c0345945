#include "platform/system/qt/DefaultsValueCodec.h"

#include <QByteArray>
#include <QString>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace tobble::system::qt {
namespace {

constexpr std::string_view kIntTag = "int:";
constexpr std::string_view kDoubleTag = "double:";
constexpr std::string_view kBoolTag = "bool:";
constexpr std::string_view kStringTag = "string:";

// Locale-independent and exact: to_chars gives the shortest text that parses back to the same
// double, including inf and nan.
template <typename T>
std::string numberText(T value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

QVariant taggedText(std::string_view tag, std::string_view payload) {
    std::string text;
    text.reserve(tag.size() + payload.size());
    text.append(tag).append(payload);
    return QString::fromStdString(text);
}

std::optional<DefaultsValue> decodeTagged(const std::string& text) {
    std::string_view view(text);
    if (view.starts_with(kStringTag)) return std::string(view.substr(kStringTag.size()));
    if (view.starts_with(kIntTag)) {
        if (auto v = parseNumber<int64_t>(view.substr(kIntTag.size()))) return *v;
        return std::nullopt;
    }
    if (view.starts_with(kDoubleTag)) {
        if (auto v = parseNumber<double>(view.substr(kDoubleTag.size()))) return *v;
        return std::nullopt;
    }
    if (view.starts_with(kBoolTag)) {
        auto payload = view.substr(kBoolTag.size());
        if (payload == "true") return true;
        if (payload == "false") return false;
        return std::nullopt;
    }
    return text;  // written by hand: plain text is a string
}

DefaultsData bytesOf(const QByteArray& bytes) {
    return DefaultsData(reinterpret_cast<const uint8_t*>(bytes.constData()),
                        reinterpret_cast<const uint8_t*>(bytes.constData()) + bytes.size());
}

}  // namespace

QVariant encodeDefaultsValue(const DefaultsValue& value, ValueEncoding encoding) {
    if (const auto* data = std::get_if<DefaultsData>(&value)) {
        return QByteArray(reinterpret_cast<const char*>(data->data()),
                          static_cast<qsizetype>(data->size()));
    }
    if (encoding == ValueEncoding::Native) {
        if (const auto* i = std::get_if<int64_t>(&value)) return QVariant::fromValue<qint64>(*i);
        if (const auto* d = std::get_if<double>(&value)) return *d;
        if (const auto* b = std::get_if<bool>(&value)) return *b;
        return QString::fromStdString(std::get<std::string>(value));
    }
    if (const auto* i = std::get_if<int64_t>(&value)) return taggedText(kIntTag, numberText(*i));
    if (const auto* d = std::get_if<double>(&value)) return taggedText(kDoubleTag, numberText(*d));
    if (const auto* b = std::get_if<bool>(&value)) {
        return taggedText(kBoolTag, *b ? "true" : "false");
    }
    return taggedText(kStringTag, std::get<std::string>(value));
}

std::optional<DefaultsValue> decodeDefaultsValue(const QVariant& stored, ValueEncoding encoding) {
    switch (stored.metaType().id()) {
        case QMetaType::QByteArray:
            return bytesOf(stored.toByteArray());
        case QMetaType::QString:
            if (encoding == ValueEncoding::Native) return stored.toString().toStdString();
            return decodeTagged(stored.toString().toStdString());
        case QMetaType::Bool:
            return stored.toBool();
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::LongLong:
            return static_cast<int64_t>(stored.toLongLong());
        case QMetaType::ULongLong: {
            const qulonglong v = stored.toULongLong();
            if (v > static_cast<qulonglong>(INT64_MAX)) return static_cast<double>(v);
            return static_cast<int64_t>(v);
        }
        case QMetaType::Float:
        case QMetaType::Double:
            return stored.toDouble();
        default:
            return std::nullopt;
    }
}

}  // namespace tobble::system::qt
