#ifndef FAKEREMOTE_H
#define FAKEREMOTE_H

#include <connectionstate.h>
#include <message.h>
#include <request.h>

#include <QtCore/QMap>
#include <QtCore/QObject>
#include <QtCore/QStringList>
#include <QtCore/QVariant>

#include <functional>

// A message as the remote side sends one.
Velmor::Command::Message makeMessage(quint32 objectId, qint32 kind,
    const QVariant &payload = QByteArray(), quint32 requestUid = 0,
    qint32 magic = Velmor::Command::Marker);

// Plays the remote side in-process behind a connection object with the signatures the module
// connects to. It announces objects, answers GETINFO, GETMETAINFO, INVOKE and SIGCONNECT as a
// service would, emits notifications, refuses, withdraws and loses the connection on command.
class FakeRemote : public QObject
{
    Q_OBJECT
public:
    enum AnswerMode {
        Direct, // answered inside the request slot, before the module's emission returns
        Queued, // answered from the event loop
        Manual, // recorded only; the test answers
    };

    struct RemoteObject
    {
        QString name;
        // Class name first, then one record per method and signal.
        QStringList metaInfo;
        // Called for INVOKE with the signature and arguments; returns the answer's values
        // (by default [true, result-of-call]).
        std::function<QVariantList(const QString &signature, const QVariantList &args)> invoke;
        QStringList signalNames;
    };

    struct SentRequest
    {
        int sequence;
        quint32 objectId;
        int command;
        QByteArray payload;
        int magic;
        quint32 uid;
        bool payloadIsByteArray;
    };

    explicit FakeRemote(QObject *parent = nullptr);

    AnswerMode mode = Direct;
    QMap<quint32, RemoteObject> objects;
    QList<SentRequest> requests;
    // Requests whose command is in here are recorded but never answered.
    QList<int> silentCommands;

    void addObject(quint32 id, const RemoteObject &object);
    // Adds the object and announces it with the handshake answered at once, whatever the mode;
    // gives the proxy `plugin` made for it, found by name as a host finds it.
    QObject *publish(QObject *plugin, quint32 id, const RemoteObject &object);
    void announce(quint32 id);
    void withdraw(quint32 id);
    void loseConnection();
    void setState(int state);
    void notify(quint32 id, const QVariantList &values);
    void answer(const SentRequest &request, const QVariantList &values, int result = 0,
        int commandCode = -1);
    void refuse(const SentRequest &request);
    void send(quint32 objectId, qint32 kind, const QVariant &payload, quint32 requestUid = 0,
        qint32 magic = Velmor::Command::Marker);
    QList<SentRequest> requestsFor(int command) const;

    static QByteArray encodeValues(const QVariantList &values);
    static QVariantList decodeValues(const QByteArray &bytes);
    static QByteArray answerBytes(
        const QVariantList &values, int result, int commandCode, double timeStamp = 45000.5);
    // An answer's fixed head: time stamp, result code, answered command.
    static QByteArray answerHeader(double timeStamp, int result, int commandCode);

    // The methods and signals a typical remote class publishes.
    static RemoteObject counter(const QString &name);

public Q_SLOTS:
    void request(const Request *request);

Q_SIGNALS:
    void message(const Velmor::Command::Message &message);
    void stateChanged(const Velmor::Connection::State state);
    void requestSeen(int command);

private:
    void autoAnswer(const SentRequest &request);
};

#endif
