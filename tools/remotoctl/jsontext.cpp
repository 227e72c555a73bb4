#include "jsontext.h"

#include "output.h"

#include <QtCore/QDateTime>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>

#include <cmath>
#include <limits>

namespace {

QVariant toVariant(const QJsonValue &json)
{
    switch (json.type()) {
    case QJsonValue::Double: {
        // Qt's reader keeps whole numbers within 64 bits exact, as qlonglong.
        const QVariant number = json.toVariant();
        const qlonglong whole = number.toLongLong();
        if (number.userType() == QMetaType::LongLong && whole >= std::numeric_limits<int>::min()
            && whole <= std::numeric_limits<int>::max())
            return int(whole);
        return number;
    }
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue &item : json.toArray())
            list.append(toVariant(item));
        return list;
    }
    case QJsonValue::Object: {
        QVariantMap map;
        const QJsonObject object = json.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            map.insert(it.key(), toVariant(it.value()));
        return map;
    }
    default:
        return json.toVariant();
    }
}

void writeString(const QString &text, QString *out)
{
    out->append(QLatin1Char('"'));
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out->append(QLatin1String("\\\""));
            break;
        case '\\':
            out->append(QLatin1String("\\\\"));
            break;
        case '\n':
            out->append(QLatin1String("\\n"));
            break;
        case '\r':
            out->append(QLatin1String("\\r"));
            break;
        case '\t':
            out->append(QLatin1String("\\t"));
            break;
        default:
            if (c.unicode() < 0x20)
                out->append(QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0')));
            else
                out->append(c);
        }
    }
    out->append(QLatin1Char('"'));
}

// Empty text, as Qt gives for an invalid date or time, is null.
void writeStringOrNull(const QString &text, QString *out)
{
    if (text.isEmpty())
        out->append(QLatin1String("null"));
    else
        writeString(text, out);
}

// Local time and time zones are written with the offset they have at that moment, so that
// the text names the same moment wherever it is read.
QString isoText(const QDateTime &time)
{
    if (!time.isValid())
        return QString();
    const bool fixed = time.timeSpec() == Qt::UTC || time.timeSpec() == Qt::OffsetFromUTC;
    return (fixed ? time : time.toOffsetFromUtc(time.offsetFromUtc())).toString(Qt::ISODateWithMs);
}

void writeNull(const QVariant &value, QString *out)
{
    printError(QStringLiteral("a %1 value has no JSON form; printed as null")
                   .arg(QString::fromLatin1(value.typeName())));
    out->append(QLatin1String("null"));
}

void write(const QVariant &value, QString *out);

void writeList(const QVariantList &items, QString *out)
{
    out->append(QLatin1Char('['));
    for (int i = 0; i < items.size(); ++i) {
        if (i > 0)
            out->append(QLatin1Char(','));
        write(items.at(i), out);
    }
    out->append(QLatin1Char(']'));
}

// Keys in order, hashes' too, so the same value always prints the same.
void writeObject(const QVariantMap &members, QString *out)
{
    out->append(QLatin1Char('{'));
    for (auto it = members.begin(); it != members.end(); ++it) {
        if (it != members.begin())
            out->append(QLatin1Char(','));
        writeString(it.key(), out);
        out->append(QLatin1Char(':'));
        write(it.value(), out);
    }
    out->append(QLatin1Char('}'));
}

void write(const QVariant &value, QString *out)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        out->append(QLatin1String("null"));
        return;
    case QMetaType::Bool:
        out->append(value.toBool() ? QLatin1String("true") : QLatin1String("false"));
        return;
    // Written from their own digits: a JSON writer going through double would round those
    // beyond 2^53.
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Char:
    case QMetaType::SChar:
        out->append(QString::number(value.toLongLong()));
        return;
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UChar:
        out->append(QString::number(value.toULongLong()));
        return;
    case QMetaType::Double:
    case QMetaType::Float:
        if (!std::isfinite(value.toDouble()))
            return writeNull(value, out);
        out->append(QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest));
        return;
    case QMetaType::QByteArray:
        return writeString(QString::fromLatin1(value.toByteArray().toBase64()), out);
    case QMetaType::QByteArrayList: {
        QVariantList items;
        for (const QByteArray &bytes : value.value<QByteArrayList>())
            items.append(bytes);
        return writeList(items, out);
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList:
        return writeList(value.toList(), out);
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
        return writeObject(value.toMap(), out);
    case QMetaType::QDateTime:
        return writeStringOrNull(isoText(value.toDateTime()), out);
    case QMetaType::QDate:
        return writeStringOrNull(value.toDate().toString(Qt::ISODate), out);
    case QMetaType::QTime:
        return writeStringOrNull(value.toTime().toString(Qt::ISODateWithMs), out);
    default:
        if (value.canConvert<QString>())
            return writeString(value.toString(), out);
        return writeNull(value, out);
    }
}

} // namespace

bool JsonText::parse(const QString &text, QVariant *value)
{
    // QJsonDocument reads only arrays and objects, so a scalar is read as a one-item array.
    QJsonParseError error;
    const QJsonDocument document
        = QJsonDocument::fromJson(QStringLiteral("[%1]").arg(text).toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1)
        return false;
    *value = toVariant(document.array().first());
    return true;
}

QString JsonText::format(const QVariant &value)
{
    QString text;
    write(value, &text);
    return text;
}
