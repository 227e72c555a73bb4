#include "objectinterface.h"

#include "payloadcodec.h"

#include <QtCore/QMetaMethod>
#include <QtCore/QMetaObject>
#include <QtCore/QObject>

using Wire::PayloadCodec;

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
    if (signature.contains('\0'))
        return -1;
    const QMetaObject *meta = object->metaObject();
    const int index = meta->indexOfSignal(QMetaObject::normalizedSignature(signature.constData()));
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

qint32 ObjectInterface::invoke(QObject *object, const QVariantList &request, QVariant *result)
{
    *result = QVariant();
    if (request.size() < 2)
        return PayloadCodec::InvalidParams;
    const QVariant &named = request.at(1);
    if (named.userType() != QMetaType::QString && named.userType() != QMetaType::QByteArray)
        return PayloadCodec::InvalidParams;
    const QByteArray signature = named.toString().toUtf8();
    if (signature.contains('\0'))
        return PayloadCodec::InvalidParams;

    const QMetaObject *meta = object->metaObject();
    const int index = meta->indexOfMethod(QMetaObject::normalizedSignature(signature.constData()));
    if (index < 0)
        return PayloadCodec::InvalidCommand;
    const QMetaMethod method = meta->method(index);
    if (!isCallable(method))
        return PayloadCodec::InvalidCommand;

    const int count = request.size() - 2;
    if (count != method.parameterCount() || count > MaxArguments)
        return PayloadCodec::InvalidParams;
    const int returnType = method.returnType();
    if (returnType != QMetaType::Void && !PayloadCodec::isStreamable(returnType))
        return PayloadCodec::DeviceInvalidParams;

    const QList<QByteArray> typeNames = method.parameterTypes();
    QVariant arguments[MaxArguments];
    QGenericArgument generic[MaxArguments];
    for (int i = 0; i < count; ++i) {
        const int type = method.parameterType(i);
        QVariant &argument = arguments[i];
        argument = request.at(i + 2);
        if (type == QMetaType::QVariant) {
            generic[i] = QGenericArgument(typeNames.at(i).constData(), &argument);
            continue;
        }
        // convert() works on the copy and fails for an unregistered type as well.
        if (type == QMetaType::UnknownType
            || (argument.userType() != type && !argument.convert(type)))
            return PayloadCodec::InvalidParams;
        generic[i] = QGenericArgument(typeNames.at(i).constData(), argument.constData());
    }

    QVariant returned;
    QGenericReturnArgument returnArgument;
    if (returnType == QMetaType::QVariant) {
        returnArgument = QGenericReturnArgument(method.typeName(), &returned);
    } else if (returnType != QMetaType::Void) {
        returned = QVariant(returnType, nullptr);
        returnArgument = QGenericReturnArgument(method.typeName(), returned.data());
    }
    if (!method.invoke(object, Qt::DirectConnection, returnArgument, generic[0], generic[1],
            generic[2], generic[3], generic[4], generic[5], generic[6], generic[7], generic[8],
            generic[9]))
        return PayloadCodec::InvalidCommand;
    *result = returned;
    return PayloadCodec::Ok;
}

bool ObjectInterface::isOffered(const QMetaMethod &method)
{
    if (method.methodType() == QMetaMethod::Signal)
        return method.methodIndex() >= QObject::staticMetaObject.methodCount();
    return isCallable(method);
}

bool ObjectInterface::isCallable(const QMetaMethod &method)
{
    return method.methodIndex() >= QObject::staticMetaObject.methodCount()
        && method.access() == QMetaMethod::Public
        && (method.methodType() == QMetaMethod::Slot || method.methodType() == QMetaMethod::Method);
}
