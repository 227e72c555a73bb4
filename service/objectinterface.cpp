#include "objectinterface.h"

#include "payloadcodec.h"
#include "servicelog.h"
#include "signaturelimits.h"

#include <QtCore/QMetaMethod>
#include <QtCore/QMetaObject>
#include <QtCore/QObject>

#include <cfloat>
#include <cmath>
#include <limits>

using Wire::PayloadCodec;

namespace {

// A number as the peer gave it: as a number, or as a text that is one number as a whole
// (surrounding spaces aside), so "3x" and "" are none.
struct Number
{
    enum Kind { None, Signed, Unsigned, Real } kind = None;
    qint64 signedValue = 0;
    quint64 unsignedValue = 0;
    double realValue = 0;
    // A text read as a double from 2^53 on, where doubles skip whole numbers, may have lost its
    // last digits: "9007199254740993.0" reads as 9007199254740992.
    bool mayBeRounded = false;
};

constexpr qint64 ExactInDouble = qint64(1) << std::numeric_limits<double>::digits;

template <typename Text> Number parseNumber(const Text &text)
{
    Number number;
    bool ok = false;
    number.signedValue = text.toLongLong(&ok);
    if (ok) {
        number.kind = Number::Signed;
        return number;
    }
    // Above the range of qint64; negative texts are no unsigned numbers.
    number.unsignedValue = text.toULongLong(&ok);
    if (ok) {
        number.kind = Number::Unsigned;
        return number;
    }
    number.realValue = text.toDouble(&ok);
    if (ok)
        number.kind = Number::Real;
    number.mayBeRounded = std::fabs(number.realValue) >= double(ExactInDouble);
    return number;
}

Number numberIn(const QVariant &value)
{
    Number number;
    switch (value.userType()) {
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
        number.kind = Number::Signed;
        number.signedValue = value.toLongLong();
        break;
    case QMetaType::UChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        number.kind = Number::Unsigned;
        number.unsignedValue = value.toULongLong();
        break;
    case QMetaType::Float:
    case QMetaType::Double:
        number.kind = Number::Real;
        number.realValue = value.toDouble();
        break;
    case QMetaType::QString:
        return parseNumber(*static_cast<const QString *>(value.constData()));
    case QMetaType::QByteArray:
        return parseNumber(*static_cast<const QByteArray *>(value.constData()));
    default:
        break;
    }
    return number;
}

// Whole numbers within T's range only.
template <typename T> bool toInteger(const Number &number, QVariant *value)
{
    using Limits = std::numeric_limits<T>;
    bool fits = false;
    T integer = 0;
    if (number.kind == Number::Signed) {
        fits = number.signedValue < 0 ? number.signedValue >= qint64(Limits::min())
                                      : quint64(number.signedValue) <= quint64(Limits::max());
        integer = T(number.signedValue);
    } else if (number.kind == Number::Unsigned) {
        fits = number.unsignedValue <= quint64(Limits::max());
        integer = T(number.unsignedValue);
    } else if (number.kind == Number::Real) {
        // max() + 1 is a power of two and so exact in a double, where max() may not be. NaN
        // fails every comparison.
        const double real = number.realValue;
        fits = real >= double(Limits::min()) && real < double(Limits::max()) + 1.0
            && std::trunc(real) == real && !number.mayBeRounded;
        integer = fits ? T(real) : 0;
    }
    if (fits)
        *value = QVariant::fromValue(integer);
    return fits;
}

// Integers only as far as a double holds every one of them, up to 2^53.
bool toReal(const Number &number, double *real)
{
    if (number.kind == Number::Signed && number.signedValue >= -ExactInDouble
        && number.signedValue <= ExactInDouble)
        *real = double(number.signedValue);
    else if (number.kind == Number::Unsigned && number.unsignedValue <= quint64(ExactInDouble))
        *real = double(number.unsignedValue);
    else if (number.kind == Number::Real)
        *real = number.realValue;
    else
        return false;
    return true;
}

// Converts `value` to `type` only when that loses nothing; `value` is left alone otherwise.
// QVariant::convert() alone would truncate 2^40 or 1.5 to an int, read "3x" as 3 and "" as 0,
// and hits undefined behaviour on doubles beyond the target's range, so numbers take their own
// way: integers keep their value exactly, doubles become integers only when whole, and become
// floats when within the range of float (infinities and NaN included), rounded to float
// precision. Every other conversion must survive the way back to the value's own type
// unchanged, which keeps int -> QString, "2020-01-01" -> QDate and 0, 1, "true", "false" ->
// bool, but refuses 2 -> bool and invalid UTF-8 bytes -> QString. The null flag plays no part:
// the data follows in full whatever the sender flagged, numbers and a value of the parameter's
// own type pass with it, and so must the rest, which QVariant::convert() refuses when flagged.
bool convertLosslessly(QVariant *value, int type)
{
    if (value->userType() == type)
        return true;
    switch (type) {
    case QMetaType::Char:
        return toInteger<char>(numberIn(*value), value);
    case QMetaType::SChar:
        return toInteger<signed char>(numberIn(*value), value);
    case QMetaType::UChar:
        return toInteger<uchar>(numberIn(*value), value);
    case QMetaType::Short:
        return toInteger<short>(numberIn(*value), value);
    case QMetaType::UShort:
        return toInteger<ushort>(numberIn(*value), value);
    case QMetaType::Int:
        return toInteger<int>(numberIn(*value), value);
    case QMetaType::UInt:
        return toInteger<uint>(numberIn(*value), value);
    case QMetaType::Long:
        return toInteger<long>(numberIn(*value), value);
    case QMetaType::ULong:
        return toInteger<ulong>(numberIn(*value), value);
    case QMetaType::LongLong:
        return toInteger<qlonglong>(numberIn(*value), value);
    case QMetaType::ULongLong:
        return toInteger<qulonglong>(numberIn(*value), value);
    case QMetaType::Double:
    case QMetaType::Float: {
        double real = 0;
        if (!toReal(numberIn(*value), &real))
            return false;
        if (type == QMetaType::Double) {
            *value = real;
            return true;
        }
        if (std::isfinite(real) && std::fabs(real) > FLT_MAX)
            return false;
        *value = float(real);
        return true;
    }
    default:
        break;
    }
    QVariant plain = *value;
    plain.data_ptr().is_null = false;
    QVariant converted = plain;
    if (!converted.convert(type))
        return false;
    QVariant back = converted;
    if (!back.convert(plain.userType()) || back != plain)
        return false;
    *value = converted;
    return true;
}

// Hosts split a GETMETAINFO record at single spaces into exactly three fields, so a member
// whose return type or signature holds a space ("long long") could never be called.
bool isWithinReach(const QMetaMethod &method)
{
    return method.methodIndex() >= QObject::staticMetaObject.methodCount()
        && !QByteArray(method.typeName()).contains(' ') && !method.methodSignature().contains(' ');
}

// Hosts send back the signatures this side described, already normalized, so the exact lookup
// nearly always finds them; normalizing, which parses the text, is left for the rest.
int indexOf(const QMetaObject *meta, const QByteArray &signature,
    int (QMetaObject::*lookup)(const char *) const)
{
    const int index = (meta->*lookup)(signature.constData());
    if (index >= 0)
        return index;
    return (meta->*lookup)(QMetaObject::normalizedSignature(signature.constData()).constData());
}

} // namespace

QStringList ObjectInterface::describe(const QObject *object)
{
    const QMetaObject *meta = object->metaObject();
    QStringList records { QString::fromUtf8(meta->className()) };
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (!isOffered(method))
            continue;
        QByteArray kind;
        switch (method.methodType()) {
        case QMetaMethod::Signal:
            kind = QByteArrayLiteral("Signal");
            break;
        case QMetaMethod::Slot:
            kind = QByteArrayLiteral("Slot");
            break;
        default:
            kind = QByteArrayLiteral("Method");
        }
        QByteArray returnType(method.typeName());
        if (returnType.isEmpty())
            returnType = QByteArrayLiteral("void");
        records.append(QString::fromUtf8(
            QByteArray(kind + ' ' + returnType + ' ' + method.methodSignature())));
    }
    return records;
}

int ObjectInterface::signalIndex(const QObject *object, const QByteArray &signature)
{
    // QMetaObject takes C strings, so a NUL would cut the signature short.
    if (signature.contains('\0') || !SignatureLimits::accepts(signature))
        return -1;
    const QMetaObject *meta = object->metaObject();
    const int index = indexOf(meta, signature, &QMetaObject::indexOfSignal);
    if (index < 0)
        return -1;
    const QMetaMethod signal = meta->method(index);
    if (!isOffered(signal))
        return -1;
    for (int i = 0; i < signal.parameterCount(); ++i) {
        if (!PayloadCodec::isStreamable(signal.parameterType(i)))
            return -1;
    }
    return index;
}

qint32 ObjectInterface::invoke(
    QObject *object, const QVariantList &request, QVariant *result, CallableMethods *known)
{
    *result = QVariant();
    if (request.size() < 2)
        return PayloadCodec::InvalidParams;
    const QVariant &named = request.at(1);
    if (named.userType() != QMetaType::QString && named.userType() != QMetaType::QByteArray)
        return PayloadCodec::InvalidParams;
    const QString text = named.toString();
    const QMetaObject *meta = object->metaObject();
    int index = known->value(text, -1);
    if (index < 0) {
        const QByteArray signature = text.toUtf8();
        if (signature.contains('\0'))
            return PayloadCodec::InvalidParams;
        // No method is declared beyond the limits, and Qt's parsers must not see such a text.
        if (!SignatureLimits::accepts(QStringView(text)))
            return PayloadCodec::InvalidCommand;
        const int exact = meta->indexOfMethod(signature.constData());
        index = exact >= 0 ? exact
                           : meta->indexOfMethod(
                               QMetaObject::normalizedSignature(signature.constData()).constData());
        if (index < 0 || !isCallable(meta->method(index)))
            return PayloadCodec::InvalidCommand;
        if (exact >= 0)
            known->insert(text, index);
    }
    const QMetaMethod method = meta->method(index);

    const int count = request.size() - 2;
    if (count != method.parameterCount() || count > MaxArguments)
        return PayloadCodec::InvalidParams;
    const int returnType = method.returnType();
    if (returnType != QMetaType::Void && !PayloadCodec::isStreamable(returnType))
        return PayloadCodec::DeviceInvalidParams;

    QVariant arguments[MaxArguments];
    // The return value's place first, then one per argument, as moc's code reads them.
    void *argv[MaxArguments + 1] = {};
    for (int i = 0; i < count; ++i) {
        const int type = method.parameterType(i);
        QVariant &argument = arguments[i];
        argument = request.at(i + 2);
        if (type == QMetaType::QVariant) {
            argv[i + 1] = &argument;
            continue;
        }
        if (type == QMetaType::UnknownType || !convertLosslessly(&argument, type)) {
            qCWarning(lcService,
                "RemotoService: argument %d of %s, a %s, does not convert to %s without "
                "loss; call refused",
                i + 1, method.methodSignature().constData(),
                argument.isValid() ? argument.typeName() : "value of no type",
                method.parameterTypes().at(i).constData());
            return PayloadCodec::InvalidParams;
        }
        argv[i + 1] = argument.data();
    }

    QVariant returned;
    if (returnType == QMetaType::QVariant) {
        argv[0] = &returned;
    } else if (returnType != QMetaType::Void) {
        returned = QVariant(returnType, nullptr);
        argv[0] = returned.data();
    }
    // The types are settled above, so the call goes straight to the object: QMetaMethod::invoke()
    // would compare every type by name again.
    QMetaObject::metacall(object, QMetaObject::InvokeMetaMethod, index, argv);
    *result = returned;
    return PayloadCodec::Ok;
}

bool ObjectInterface::isOffered(const QMetaMethod &method)
{
    if (method.methodType() == QMetaMethod::Signal)
        return isWithinReach(method);
    return isCallable(method);
}

bool ObjectInterface::isCallable(const QMetaMethod &method)
{
    return isWithinReach(method) && method.access() == QMetaMethod::Public
        && (method.methodType() == QMetaMethod::Slot || method.methodType() == QMetaMethod::Method);
}
