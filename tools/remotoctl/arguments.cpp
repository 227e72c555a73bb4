#include "arguments.h"

#include "jsontext.h"

#include <numberconversion.h>
#include <signaturelimits.h>

#include <QtCore/QDateTime>
#include <QtCore/QRegularExpression>

#include <algorithm>

using Wire::NumberConversion;

namespace {

enum class Number { NotANumber, Whole, Fraction, TooLarge };

QRegularExpressionMatch matchNumber(const QString &text)
{
    static const QRegularExpression number(
        QStringLiteral("^(-?)(0|[1-9][0-9]*)(?:\\.([0-9]+))?(?:[eE]([+-]?[0-9]+))?$"));
    return number.match(text);
}

// A JSON number's exact value when it is whole, as sign and magnitude, worked out on its
// digits: read as a double first, 2.0000000000000001 would pass for 2.
Number readWhole(const QString &text, bool *negative, quint64 *magnitude)
{
    const QRegularExpressionMatch match = matchNumber(text);
    if (!match.hasMatch())
        return Number::NotANumber;
    *negative = match.capturedLength(1) > 0;
    *magnitude = 0;
    QString digits = match.captured(2) + match.captured(3);
    // An exponent too long to read says no more than a large one: the number is huge or tiny.
    const QString exponentText = match.captured(4);
    qint64 exponent = exponentText.size() > 8
        ? (exponentText.startsWith(QLatin1Char('-')) ? -10000000 : 10000000)
        : exponentText.toLongLong();
    exponent -= match.capturedLength(3);
    int first = 0;
    while (first < digits.size() - 1 && digits.at(first) == QLatin1Char('0'))
        ++first;
    digits.remove(0, first);
    while (exponent < 0 && digits.size() > 1 && digits.endsWith(QLatin1Char('0'))) {
        digits.chop(1);
        ++exponent;
    }
    if (digits == QLatin1String("0"))
        return Number::Whole;
    if (exponent < 0)
        return Number::Fraction;
    if (digits.size() + exponent > 20)
        return Number::TooLarge;
    bool ok = false;
    *magnitude = QString(digits + QString(int(exponent), QLatin1Char('0'))).toULongLong(&ok);
    return ok ? Number::Whole : Number::TooLarge;
}

QString notANumber(const QString &text)
{
    return text.startsWith(QLatin1Char('"')) ? QStringLiteral("%1 is text, not a number").arg(text)
                                             : QStringLiteral("%1 is not a number").arg(text);
}

QString beyondExactDoubles(const QString &text)
{
    return QStringLiteral("%1 is beyond 2^53, where a double no longer holds every whole number")
        .arg(text);
}

// The number the text writes for a parameter of a numeric type, exactly: a whole number as
// that integer, worked out on its digits, so that the rule for integers holds it; for a
// floating-point type, a number written with a fraction or an exponent as a double. False,
// with `problem` saying why, when there is none.
bool readNumber(int type, const QString &text, NumberConversion::Number *number, QString *problem)
{
    const QRegularExpressionMatch match = matchNumber(text);
    if (!match.hasMatch()) {
        *problem = notANumber(text);
        return false;
    }
    const bool floating = type == QMetaType::Double || type == QMetaType::Float;
    if (floating && (match.capturedLength(3) > 0 || match.capturedLength(4) > 0)) {
        bool ok = false;
        *number = NumberConversion::Number::ofReal(text.toDouble(&ok));
        // Qt reads one beyond a double's range as no number at all.
        if (!ok)
            *problem = QStringLiteral("%1 is out of its range").arg(text);
        return ok;
    }
    bool negative = false;
    quint64 magnitude = 0;
    const Number read = readWhole(text, &negative, &magnitude);
    if (read == Number::Fraction) {
        *problem = QStringLiteral("%1 is not a whole number").arg(text);
        return false;
    }
    // The lowest value's magnitude is one more than the largest signed value.
    if (read == Number::Whole && (!negative || magnitude == 0)) {
        *number = NumberConversion::Number::ofUnsigned(magnitude);
        return true;
    }
    if (read == Number::Whole && magnitude <= quint64(1) << 63) {
        *number = NumberConversion::Number::ofSigned(-qint64(magnitude - 1) - 1);
        return true;
    }
    // Beyond every integer type.
    *problem
        = floating ? beyondExactDoubles(text) : QStringLiteral("%1 is out of its range").arg(text);
    return false;
}

bool convertNumber(int type, const QString &text, QVariant *value, QString *problem)
{
    NumberConversion::Number number;
    if (!readNumber(type, text, &number, problem))
        return false;
    switch (NumberConversion::convert(number, type, value)) {
    case NumberConversion::Converted:
        return true;
    case NumberConversion::Inexact:
        *problem = beyondExactDoubles(text);
        return false;
    default:
        *problem = QStringLiteral("%1 is out of its range").arg(text);
        return false;
    }
}

// Bare text is taken as it is; a JSON string gives its content, so text that would be read
// otherwise, or that has quotes or escapes, can still be written.
QString textOf(const QString &text)
{
    QVariant parsed;
    if (text.startsWith(QLatin1Char('"')) && JsonText::parse(text, &parsed)
        && parsed.userType() == QMetaType::QString)
        return parsed.toString();
    return text;
}

bool convertJson(int type, const QString &text, QVariant *value, QString *problem)
{
    const bool parsed = JsonText::parse(text, value);
    switch (type) {
    case QMetaType::QVariant:
        if (!parsed)
            *problem = QStringLiteral("%1 is not JSON (put text in double quotes)").arg(text);
        return parsed;
    case QMetaType::QVariantList:
        if (!parsed || value->userType() != QMetaType::QVariantList)
            *problem = QStringLiteral("%1 is not a JSON array").arg(text);
        break;
    case QMetaType::QStringList: {
        const QVariantList items = value->toList();
        const bool strings = parsed && value->userType() == QMetaType::QVariantList
            && std::all_of(items.cbegin(), items.cend(),
                [](const QVariant &item) { return item.userType() == QMetaType::QString; });
        if (!strings)
            *problem = QStringLiteral("%1 is not a JSON array of strings").arg(text);
        break;
    }
    default:
        if (!parsed || value->userType() != QMetaType::QVariantMap)
            *problem = QStringLiteral("%1 is not a JSON object").arg(text);
    }
    return problem->isEmpty() && value->convert(type);
}

bool convertText(int type, const QString &text, QVariant *value, QString *problem)
{
    const QString content = textOf(text);
    switch (type) {
    case QMetaType::QString:
        *value = content;
        return true;
    case QMetaType::QChar:
        if (content.size() != 1) {
            *problem = QStringLiteral("%1 is not a single character").arg(text);
            return false;
        }
        *value = content.at(0);
        return true;
    case QMetaType::QByteArray: {
        const QByteArray::FromBase64Result bytes = QByteArray::fromBase64Encoding(
            content.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!bytes) {
            *problem = QStringLiteral("%1 is not Base64 text").arg(text);
            return false;
        }
        *value = *bytes;
        return true;
    }
    case QMetaType::QDateTime:
        *value = QDateTime::fromString(content, Qt::ISODateWithMs);
        if (!value->toDateTime().isValid())
            *problem = QStringLiteral("%1 is not an ISO 8601 date-time, such as "
                                      "2024-05-06T07:08:09.010+02:00")
                           .arg(text);
        break;
    case QMetaType::QDate:
        *value = QDate::fromString(content, Qt::ISODate);
        if (!value->toDate().isValid())
            *problem = QStringLiteral("%1 is not an ISO 8601 date, such as 2024-05-06").arg(text);
        break;
    case QMetaType::QTime:
        *value = QTime::fromString(content, Qt::ISODateWithMs);
        if (!value->toTime().isValid())
            *problem = QStringLiteral("%1 is not an ISO 8601 time, such as 07:08:09.010").arg(text);
        break;
    default:
        // Another type Qt converts text to, such as QUrl or QUuid, when the value converts
        // back to the same text.
        *value = content;
        if (type == QMetaType::UnknownType)
            *problem = QStringLiteral("remotoctl knows no such type; only Qt's own types cross");
        else if (!value->canConvert(type))
            *problem = QStringLiteral("remotoctl cannot write a value of this type");
        else if (!value->convert(type) || value->toString() != content)
            *problem = QStringLiteral("%1 does not convert to it and back unchanged").arg(text);
    }
    return problem->isEmpty();
}

} // namespace

bool Arguments::convert(
    const QString &typeName, const QString &text, QVariant *value, QString *problem)
{
    // The name comes from the service, and Qt's type-name parser recurses on its brackets.
    const int type = SignatureLimits::accepts(typeName)
        ? QMetaType::type(typeName.toLatin1().constData())
        : int(QMetaType::UnknownType);
    if (NumberConversion::isNumeric(type))
        return convertNumber(type, text, value, problem);
    switch (type) {
    case QMetaType::Bool:
        if (text != QLatin1String("true") && text != QLatin1String("false")) {
            *problem = QStringLiteral("%1 is neither true nor false").arg(text);
            return false;
        }
        *value = text == QLatin1String("true");
        return true;
    case QMetaType::QVariant:
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
        return convertJson(type, text, value, problem);
    default:
        return convertText(type, text, value, problem);
    }
}
