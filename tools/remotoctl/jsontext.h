#ifndef JSONTEXT_H
#define JSONTEXT_H

#include <QtCore/QString>
#include <QtCore/QVariant>

// Command-line arguments and printed results as JSON text.
namespace JsonText {

// One JSON value of any kind, scalars included. Whole numbers become int (or qlonglong when
// they do not fit), so a remote int parameter gets an int. False for anything else.
bool parse(const QString &text, QVariant *value);

// Compact JSON where the value has a JSON form; otherwise Qt's debug text of it.
QString format(const QVariant &value);

} // namespace JsonText

#endif
