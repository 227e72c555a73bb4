#ifndef OBJECTINTERFACE_H
#define OBJECTINTERFACE_H

#include <QtCore/QByteArray>
#include <QtCore/QHash>
#include <QtCore/QStringList>
#include <QtCore/QVariantList>

QT_BEGIN_NAMESPACE
class QMetaMethod;
class QObject;
QT_END_NAMESPACE

// What a published object offers to clients, and the calls into it. Only members that the
// object's classes below QObject declare count, and of those only signals, public slots and
// public Q_INVOKABLE methods: QObject's own members (deleteLater(), destroyed(), ...),
// anything protected or private, and members whose return type or signature holds a space
// (which no host can call) stay out of reach. Signatures from a peer beyond SignatureLimits are
// refused before any of Qt's parsers sees them.
class ObjectInterface
{
public:
    // The class name, then one "Kind ReturnType signature" record per member on offer, in
    // declaration order, base classes first.
    static QStringList describe(const QObject *object);

    // The method index of the offered signal with that signature, or -1 when there is no
    // such signal or a value of one of its parameter types cannot be sent.
    static int signalIndex(const QObject *object, const QByteArray &signature);

    // Signatures of one object's methods already found callable, with their method indexes.
    // Only texts that are a method's exact signature go in, so the table never holds more
    // entries than the class has methods, whatever a peer sends.
    using CallableMethods = QHash<QString, int>;

    // Calls the method `request` names ([return holder, signature, arguments...]) when every
    // argument converts to its parameter type without loss. Returns a ResultCode; the method
    // has been called only when that is Ok, and then `result` holds what it returned (an
    // invalid value for void). `known` belongs to `object`: it spares a lookup of
    // a signature that was called before.
    static qint32 invoke(
        QObject *object, const QVariantList &request, QVariant *result, CallableMethods *known);

private:
    static bool isOffered(const QMetaMethod &method);
    static bool isCallable(const QMetaMethod &method);
};

#endif
