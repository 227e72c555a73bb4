#include "signaldelivery.h"

#include "argumentvector.h"
#include "base64codec.h"
#include "remotoobject.h"
#include "valuelistdecoder.h"

#include <notification.h>

#include <QtCore/QMetaMethod>
#include <QtCore/QPointer>
#include <QtCore/QVector>

#include <algorithm>

namespace {
// Raises the proxy's own signal only when the values fit its parameters: the activation
// hands raw pointers to slots, which would otherwise read one type's storage as another's.
void activateSignal(QObject *proxy, const QMetaObject *metaObject, int index, QVariant returnValue,
    QVariantList arguments)
{
    const QMetaMethod method = metaObject->method(index);
    const int count = arguments.size();
    if (count > ArgumentVector::MaxArguments)
        return;
    QVariant values[ArgumentVector::MaxArguments];
    std::move(arguments.begin(), arguments.end(), values);
    ArgumentVector argv;
    if (!argv.fill(method, values, count,
            [](QVariant *value, int type) { return value->convert(type); }))
        return;
    const int returnType = method.returnType();
    if (returnType != QMetaType::Void && returnType != QMetaType::UnknownType
        && returnValue.userType() == returnType)
        argv.setReturnPlace(returnValue.data());
    QMetaObject::activate(proxy, metaObject, index - metaObject->methodOffset(), argv.data());
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
    ValueListDecoder::decodeBase64(
        items.first().toByteArray(), Base64Codec::Mode::Lenient, lead, 2, &arguments, &count);
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
