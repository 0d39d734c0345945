#pragma once

#include <QVariant>
#include <optional>

#include "platform/system/UserDefaults.h"

namespace tobble::system::qt {

// How values are written to a QSettings store.
enum class ValueEncoding {
    // The store keeps QVariant types (macOS preferences): values are written as they are.
    Native,
    // The store turns scalars into text (INI files): numbers, booleans and strings carry a type
    // tag ("int:5", "double:0.5", "bool:true", "string:…") so they read back as what was
    // written; data values stay byte arrays, which INI files keep.
    TaggedText,
};

QVariant encodeDefaultsValue(const DefaultsValue& value, ValueEncoding encoding);

// Reads what `encoding` wrote; with tagged text, an untagged text (typed into the file by hand)
// is a string. Nothing for a value of a type the domain does not hold, or a tagged value that
// does not parse.
std::optional<DefaultsValue> decodeDefaultsValue(const QVariant& stored, ValueEncoding encoding);

}  // namespace tobble::system::qt
