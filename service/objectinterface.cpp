#include "objectinterface.h"

#include "argumentvector.h"
#include "numberconversion.h"
#include "payloadcodec.h"
#include "resultcodetable.h"
#include "servicelog.h"
#include "signaturelimits.h"

#include <QtCore/QMetaMethod>
#include <QtCore/QMetaObject>
#include <QtCore/QObject>

#include <algorithm>

using Wire::NumberConversion;
using Wire::PayloadCodec;

namespace {

// Converts `value` to `type` only when that loses nothing; `value` is left alone otherwise.
// QVariant::convert() alone would truncate 2^40 or 1.5 to an int, read "3x" as 3 and "" as 0,
// and hits undefined behaviour on doubles beyond the target's range, so numbers take their own
// way (NumberConversion). Every other conversion must survive the way back to the value's own
// type unchanged, which keeps int -> QString, "2020-01-01" -> QDate and 0, 1, "true", "false"
// -> bool, but refuses 2 -> bool and invalid UTF-8 bytes -> QString. The null flag plays no
// part: the data follows in full whatever the sender flagged, numbers and a value of the
// parameter's own type pass with it, and so must the rest, which QVariant::convert() refuses
// when flagged.
bool convertLosslessly(QVariant *value, int type)
{
    if (value->userType() == type)
        return true;
    if (NumberConversion::isNumeric(type))
        return NumberConversion::convert(NumberConversion::numberIn(*value), type, value)
            == NumberConversion::Converted;
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
        return ResultCode::InvalidParams;
    const QVariant &named = request.at(1);
    if (named.userType() != QMetaType::QString && named.userType() != QMetaType::QByteArray)
        return ResultCode::InvalidParams;
    const QString text = named.toString();
    const QMetaObject *meta = object->metaObject();
    int index = known->value(text, -1);
    if (index < 0) {
        const QByteArray signature = text.toUtf8();
        if (signature.contains('\0'))
            return ResultCode::InvalidParams;
        // No method is declared beyond the limits, and Qt's parsers must not see such a text.
        if (!SignatureLimits::accepts(QStringView(text)))
            return ResultCode::InvalidCommand;
        const int exact = meta->indexOfMethod(signature.constData());
        index = exact >= 0 ? exact
                           : meta->indexOfMethod(
                               QMetaObject::normalizedSignature(signature.constData()).constData());
        if (index < 0 || !isCallable(meta->method(index)))
            return ResultCode::InvalidCommand;
        if (exact >= 0)
            known->insert(text, index);
    }
    const QMetaMethod method = meta->method(index);

    const int count = request.size() - 2;
    if (count != method.parameterCount() || count > ArgumentVector::MaxArguments)
        return ResultCode::InvalidParams;
    const int returnType = method.returnType();
    if (returnType != QMetaType::Void && !PayloadCodec::isStreamable(returnType))
        return ResultCode::DeviceInvalidParams;

    QVariant arguments[ArgumentVector::MaxArguments];
    std::copy(request.cbegin() + 2, request.cend(), arguments);
    ArgumentVector argv;
    int refused = -1;
    if (!argv.fill(method, arguments, count, convertLosslessly, &refused)) {
        const QVariant &argument = arguments[refused];
        qCWarning(lcService, "RemotoService: argument %d of %s, a %s, does not convert to %s without "
                 "loss; call refused",
            refused + 1, method.methodSignature().constData(),
            argument.isValid() ? argument.typeName() : "value of no type",
            method.parameterTypes().at(refused).constData());
        return ResultCode::InvalidParams;
    }

    QVariant returned;
    if (returnType == QMetaType::QVariant) {
        argv.setReturnPlace(&returned);
    } else if (returnType != QMetaType::Void) {
        returned = QVariant(returnType, nullptr);
        argv.setReturnPlace(returned.data());
    }
    // The types are settled above, so the call goes straight to the object: QMetaMethod::invoke()
    // would compare every type by name again.
    QMetaObject::metacall(object, QMetaObject::InvokeMetaMethod, index, argv.data());
    *result = returned;
    return ResultCode::Ok;
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
