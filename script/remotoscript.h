#ifndef REMOTOSCRIPT_H
#define REMOTOSCRIPT_H

#include "remotoscriptexport.h"

#include <QtCore/QObject>
#include <QtQml/QJSValue>

#include <memory>

class QJSEngine;

// Gives the scripts of a host's QJSEngine the module's remote objects. install() puts one into
// the engine as the global object `remoto`, for the plug-in's root object:
//
//   remoto.objects()                  the proxies of the objects that are up, sorted by name
//   remoto.object(name)               the proxy of that name, up or not, or null
//   remoto.call(target, method, ...)  calls a remote method with up to ten arguments and returns
//                                     its result (undefined for a void method); target is a
//                                     proxy or an object's name
//   remoto.subscribe(target, signal)  subscribes to a remote signal, given by its signature such
//                                     as "changed(int)"; its events then come as the proxy's
//                                     signal event(name, params): proxy.event.connect(function)
//   remoto.objectConnected, remoto.objectDisconnected
//                                     signals carrying the proxy of an object that came up or
//                                     went down
//   remoto.wait(ms)                   runs an event loop, so that events arrive, until
//                                     stopWaiting() or for ms milliseconds (no limit without
//                                     ms); true when stopWaiting() ended it
//   remoto.stopWaiting()              ends every running wait, or the next one if none runs
//   remoto.plugin                     the root object itself
//
// A call or subscription that fails throws an Error saying why: "calculator.add failed:
// INVALID_PARAM (4): ..." gives the result code's name, number and text when the service's
// answer carried one, otherwise the module's reason ("INVOKE command timeout") or what the
// library saw (the object was withdrawn during the call, the link was lost).
//
// Calls and subscriptions wait for their answer in a nested event loop, as the module's own do:
// signals, and the script functions connected to them, may run before they return.
class REMOTOSCRIPT_EXPORT RemotoScript : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject *plugin READ plugin CONSTANT)

public:
    // Makes the root object and the library's object C++-owned (a garbage collection would
    // otherwise delete them), registers the types the engine needs to pass the module's
    // values, and sets the global `remoto`. The returned object belongs to the engine. Objects
    // are taken as up if the module has them at this point: install before connecting, or
    // while all of them are.
    static RemotoScript *install(QJSEngine *engine, QObject *plugin);
    ~RemotoScript() override;

    QObject *plugin() const;

    Q_INVOKABLE QObjectList objects() const;
    Q_INVOKABLE QObject *object(const QString &name) const;

    // One per argument count: Qt 5's engine calls no C++ method with a variable number of
    // arguments, and picks among overloads by count. The last takes the eleventh argument of
    // a longer call, which it refuses, as the service does.
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1);
    Q_INVOKABLE QJSValue call(
        const QJSValue &target, const QString &method, const QJSValue &a1, const QJSValue &a2);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1,
        const QJSValue &a2, const QJSValue &a3);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1,
        const QJSValue &a2, const QJSValue &a3, const QJSValue &a4);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1,
        const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1,
        const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
        const QJSValue &a6);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1,
        const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
        const QJSValue &a6, const QJSValue &a7);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1,
        const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
        const QJSValue &a6, const QJSValue &a7, const QJSValue &a8);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1,
        const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
        const QJSValue &a6, const QJSValue &a7, const QJSValue &a8, const QJSValue &a9);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1,
        const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
        const QJSValue &a6, const QJSValue &a7, const QJSValue &a8, const QJSValue &a9,
        const QJSValue &a10);
    Q_INVOKABLE QJSValue call(const QJSValue &target, const QString &method, const QJSValue &a1,
        const QJSValue &a2, const QJSValue &a3, const QJSValue &a4, const QJSValue &a5,
        const QJSValue &a6, const QJSValue &a7, const QJSValue &a8, const QJSValue &a9,
        const QJSValue &a10, const QJSValue &a11);

    Q_INVOKABLE void subscribe(const QJSValue &target, const QString &signal);

    Q_INVOKABLE bool wait(int msecs = -1);
    Q_INVOKABLE void stopWaiting();

Q_SIGNALS:
    void objectConnected(QObject *proxy);
    void objectDisconnected(QObject *proxy);

private Q_SLOTS:
    void proxyUp(QObject *proxy);
    void proxyDown(QObject *proxy);

private:
    struct Q_DECL_HIDDEN Private;

    RemotoScript(QJSEngine *engine, QObject *plugin);

    std::unique_ptr<Private> d;
};

#endif
