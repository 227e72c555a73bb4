#ifndef ARGUMENTS_H
#define ARGUMENTS_H

#include <QtCore/QString>
#include <QtCore/QVariant>

// Command-line arguments read for the parameters they are given to, so that the service gets
// exactly what was written or nothing at all. Numbers go by the service's own rule
// (Wire::NumberConversion), read exactly from the text a user typed; the other types follow
// the service's rules for converting without loss (docs/wire-protocol.md, INVOKE): bool true
// or false, QString and other text-like types bare text or a JSON string, lists and maps
// JSON, date-times ISO 8601 text, byte arrays Base64 text, QVariant any JSON value.
namespace Arguments {

// False, with `problem` saying why in words that follow the text ("1.5 is not a whole
// number"), when the text does not suit the type.
bool convert(const QString &typeName, const QString &text, QVariant *value, QString *problem);

} // namespace Arguments

#endif
