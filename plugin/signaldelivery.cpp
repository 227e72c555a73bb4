#include "signaldelivery.h"

#include "base64codec.h"
#include "remotoobject.h"
#include "valuelistdecoder.h"

#include <notification.h>

#include <QtCore/QMetaMethod>
#include <QtCore/QPointer>
#include <QtCore/QVector>

namespace {
constexpr int MaxSignalArguments = 10;

// Raises the proxy's own signal only when the values fit its parameters: the activation
// hands raw pointers to slots, which would otherwise read one type's storage as another's.
void activateSignal(QObject *proxy, const QMetaObject *metaObject, int index, QVariant returnValue,
    QVariantList arguments)
{
    const QMetaMethod method = metaObject->method(index);
    const int count = arguments.size();
    if (count > MaxSignalArguments || count != method.parameterCount())
        return;
    void *argv[MaxSignalArguments + 1] = {};
    for (int i = 0; i < count; ++i) {
        const int type = method.parameterType(i);
        QVariant &argument = arguments[i];
        if (type == QMetaType::QVariant) {
            argv[i + 1] = &argument;
            continue;
        }
        if (type == QMetaType::UnknownType || !argument.convert(type))
            return;
        argv[i + 1] = argument.data();
    }
    const int returnType = method.returnType();
    if (returnType != QMetaType::Void && returnType != QMetaType::UnknownType
        && returnValue.userType() == returnType)
        argv[0] = returnValue.data();
    QMetaObject::activate(proxy, metaObject, index - metaObject->methodOffset(), argv);
}

// The proxy class's own signals, the only ones a notification may raise besides event(). The
// text a peer names is compared with them alone, and whole: QMetaObject::indexOfSignal() would
// parse it and compare it with every method up to QObject's, on every notification.
int proxySignalIndex(const QString &signature)
{
    static const QVector<QPair<QString, int>> ownSignals = [] {
        const QMetaObject &meta = RemotoObject::staticMetaObject;
        QVector<QPair<QString, int>> found;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            if (method.methodType() == QMetaMethod::Signal)
                found.append({ QString::fromLatin1(method.methodSignature()), i });
        }
        return found;
    }();
    for (const auto &own : ownSignals) {
        if (own.first == signature)
            return own.second;
    }
    return -1;
}
} // namespace

void SignalDelivery::deliver(RemotoObject *object, const Velmor::Command::Message &message)
{
    const Notification notification(message.payload.toByteArray(), message.magic);
    const QPointer<RemotoObject> proxy = object;
    if (!proxy)
        return;
    const QVariantList items = notification.data().toList();
    if (items.isEmpty())
        return;
    // The return holder and the signature are read apart; what the list keeps are the
    // signal's arguments.
    QVariant lead[2];
    QVariantList arguments;
    int count = 0;
    {
        const Base64Codec::Reused decoded(items.first().toByteArray(), Base64Codec::Mode::Lenient);
        ValueListDecoder::decode(decoded.bytes(), lead, 2, &arguments, &count);
    }
    if (count < 2)
        return;
    const QVariant &returnValue = lead[0];
    const QString signature = lead[1].toString();
    Q_EMIT proxy->event(signature, arguments);
    // A slot on event may have deleted the proxy.
    if (!proxy)
        return;
    const int index = proxySignalIndex(signature);
    if (index >= 0)
        activateSignal(proxy, &RemotoObject::staticMetaObject, index, returnValue, arguments);
}
