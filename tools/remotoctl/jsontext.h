#ifndef JSONTEXT_H
#define JSONTEXT_H

#include <QtCore/QString>
#include <QtCore/QVariant>

// Command-line arguments and printed results as JSON text.
namespace JsonText {

// One JSON value of any kind, scalars included. Whole numbers become int (or qlonglong when
// they do not fit), so a remote int parameter gets an int. False for anything else.
bool parse(const QString &text, QVariant *value);

// Compact JSON for any value, in the forms --help lists: integers exactly, a date-time as
// ISO 8601 text with milliseconds and offset, a byte array as Base64 text, another Qt type
// as its text form; a value with no JSON form (a QRect, a NaN) is null, with a warning.
QString format(const QVariant &value);

} // namespace JsonText

#endif
