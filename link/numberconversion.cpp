#include "numberconversion.h"

#include <cfloat>
#include <cmath>
#include <limits>

namespace Wire {

namespace {

using Number = NumberConversion::Number;

constexpr qint64 ExactInDouble = qint64(1) << std::numeric_limits<double>::digits;

template <typename Text> Number parseNumber(const Text &text)
{
    bool ok = false;
    const qint64 whole = text.toLongLong(&ok);
    if (ok)
        return Number::ofSigned(whole);
    // Above the range of qint64; negative texts are no unsigned numbers.
    const quint64 large = text.toULongLong(&ok);
    if (ok)
        return Number::ofUnsigned(large);
    const double real = text.toDouble(&ok);
    if (!ok)
        return Number();
    Number number = Number::ofReal(real);
    number.mayBeRounded = std::fabs(real) >= double(ExactInDouble);
    return number;
}

template <typename T> NumberConversion::Outcome toInteger(const Number &number, QVariant *value)
{
    using Limits = std::numeric_limits<T>;
    bool fits = false;
    T integer = 0;
    switch (number.kind) {
    case Number::None:
        return NumberConversion::NotANumber;
    case Number::Signed:
        fits = number.signedValue < 0 ? number.signedValue >= qint64(Limits::min())
                                      : quint64(number.signedValue) <= quint64(Limits::max());
        integer = T(number.signedValue);
        break;
    case Number::Unsigned:
        fits = number.unsignedValue <= quint64(Limits::max());
        integer = T(number.unsignedValue);
        break;
    case Number::Real: {
        // max() + 1 is a power of two and so exact in a double, where max() may not be. NaN
        // fails every comparison.
        const double real = number.realValue;
        if (!(real >= double(Limits::min()) && real < double(Limits::max()) + 1.0))
            return NumberConversion::OutOfRange;
        if (std::trunc(real) != real || number.mayBeRounded)
            return NumberConversion::Inexact;
        fits = true;
        integer = T(real);
        break;
    }
    }
    if (!fits)
        return NumberConversion::OutOfRange;
    *value = QVariant::fromValue(integer);
    return NumberConversion::Converted;
}

NumberConversion::Outcome toReal(const Number &number, int type, QVariant *value)
{
    constexpr qint64 exact = ExactInDouble;
    double real = 0;
    switch (number.kind) {
    case Number::None:
        return NumberConversion::NotANumber;
    case Number::Signed:
        if (number.signedValue < -exact || number.signedValue > exact)
            return NumberConversion::Inexact;
        real = double(number.signedValue);
        break;
    case Number::Unsigned:
        if (number.unsignedValue > quint64(exact))
            return NumberConversion::Inexact;
        real = double(number.unsignedValue);
        break;
    case Number::Real:
        real = number.realValue;
        break;
    }
    if (type == QMetaType::Double) {
        *value = real;
        return NumberConversion::Converted;
    }
    if (std::isfinite(real) && std::fabs(real) > FLT_MAX)
        return NumberConversion::OutOfRange;
    *value = float(real);
    return NumberConversion::Converted;
}

} // namespace

Number Number::ofSigned(qint64 value)
{
    Number number;
    number.kind = Signed;
    number.signedValue = value;
    return number;
}

Number Number::ofUnsigned(quint64 value)
{
    if (value <= quint64(std::numeric_limits<qint64>::max()))
        return ofSigned(qint64(value));
    Number number;
    number.kind = Unsigned;
    number.unsignedValue = value;
    return number;
}

Number Number::ofReal(double value)
{
    Number number;
    number.kind = Real;
    number.realValue = value;
    return number;
}

bool NumberConversion::isNumeric(int type)
{
    switch (type) {
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Float:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

Number NumberConversion::numberIn(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return Number::ofSigned(value.toLongLong());
    case QMetaType::UChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return Number::ofUnsigned(value.toULongLong());
    case QMetaType::Float:
    case QMetaType::Double:
        return Number::ofReal(value.toDouble());
    case QMetaType::QString:
        return parseNumber(*static_cast<const QString *>(value.constData()));
    case QMetaType::QByteArray:
        return parseNumber(*static_cast<const QByteArray *>(value.constData()));
    default:
        return Number();
    }
}

NumberConversion::Outcome NumberConversion::convert(const Number &number, int type, QVariant *value)
{
    switch (type) {
    case QMetaType::Char:
        return toInteger<char>(number, value);
    case QMetaType::SChar:
        return toInteger<signed char>(number, value);
    case QMetaType::UChar:
        return toInteger<uchar>(number, value);
    case QMetaType::Short:
        return toInteger<short>(number, value);
    case QMetaType::UShort:
        return toInteger<ushort>(number, value);
    case QMetaType::Int:
        return toInteger<int>(number, value);
    case QMetaType::UInt:
        return toInteger<uint>(number, value);
    case QMetaType::Long:
        return toInteger<long>(number, value);
    case QMetaType::ULong:
        return toInteger<ulong>(number, value);
    case QMetaType::LongLong:
        return toInteger<qlonglong>(number, value);
    case QMetaType::ULongLong:
        return toInteger<qulonglong>(number, value);
    case QMetaType::Float:
    case QMetaType::Double:
        return toReal(number, type, value);
    default:
        return NotANumber;
    }
}

} // namespace Wire
