#ifndef REMOTORESPONSE_H
#define REMOTORESPONSE_H

#include <QtCore/QDateTime>
#include <QtCore/QObject>
#include <QtCore/QVariant>

#include <memory>

class QEventLoop;
class Request;
struct RemotoResponsePrivate;

// The result of one command: the decoded answer, its time stamp and its result code.
class RemotoResponse : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariantList data READ data)
    Q_PROPERTY(QByteArray rawData READ rawData)
    Q_PROPERTY(bool isFinished READ isFinished)
    Q_PROPERTY(QDateTime timeStamp READ timeStamp)
    Q_PROPERTY(int error READ error)

public:
    RemotoResponse(Request *request, bool autoDelete);
    ~RemotoResponse() override;

    Q_INVOKABLE QString toString() const;
    Q_INVOKABLE QString errorString(bool verb = false) const;
    Q_INVOKABLE QString errorString(int code, bool verb = false) const;

    QVariantList data() const;
    QByteArray rawData() const;
    bool isFinished() const;
    QDateTime timeStamp() const;
    int error() const;
    int commandCode() const;
    bool autoDelete() const;
    Request *request() const;
    QVariant dataAt(int index) const;
    // A connection in another thread, which reads the request in a queued call of its own:
    // the request outlives this response until that call has run or can no longer run.
    void setRequestReader(QObject *connection);
    // A loop waiting for this response, quit as it finishes; the waiter clears it on leaving.
    void setWaiter(QEventLoop *loop);

    void finishWithResult(int code);
    void decodeAnswer(const QByteArray &answer);

Q_SIGNALS:
    void finished();

private:
    void finish();

    std::unique_ptr<RemotoResponsePrivate> d;
};

#endif
