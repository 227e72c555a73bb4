#ifndef SIGNALRELAY_H
#define SIGNALRELAY_H

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QSet>
#include <QtCore/QVariantList>
#include <QtCore/QVector>

#include <functional>
#include <vector>

// Passes the emissions of one published object's signals on to the clients that asked for
// them. It has no meta-object of its own: each watched signal is connected to a made-up
// method index above QObject's, and qt_metacall() turns the call's argument pointers into
// values, whatever the signal's signature. The sink is called in the relay's thread only, also
// for emissions from other threads.
class SignalRelay : public QObject
{
public:
    using Sink = std::function<void(const QString &signature, const QVariant *arguments, int count,
        const QSet<quint64> &clients)>;

    SignalRelay(QObject *source, Sink sink, QObject *parent = nullptr);
    ~SignalRelay() override;

    // `signalIndex` is a method index ObjectInterface::signalIndex() gave. Subscribing twice
    // changes nothing.
    bool subscribe(int signalIndex, quint64 client);
    // Whether the client had been subscribed.
    bool unsubscribe(int signalIndex, quint64 client);
    void removeClient(quint64 client);
    // Stops relaying for good; the relay can then be deleted later from anywhere.
    void detach();

    int qt_metacall(QMetaObject::Call call, int id, void **arguments) override;

private:
    struct Watch
    {
        int signalIndex;
        QSet<quint64> clients;
        // Worked out once, when the signal is first watched, rather than at every emission.
        QString signature;
        QVector<int> parameterTypes;
    };

    Watch *watchFor(int signalIndex, int *slot);
    bool attach(int slot);
    void release(int slot);
    void relay(int slot, void **arguments);

    QPointer<QObject> m_source;
    Sink m_sink;
    // A watch's position is the slot number its signal is connected to.
    std::vector<Watch> m_watches;
};

#endif
