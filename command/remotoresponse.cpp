#include "remotoresponse.h"

#include "answerheader.h"
#include "base64codec.h"
#include "commandcatalogue.h"
#include "resultcodetable.h"
#include "valuelistdecoder.h"

#include <request.h>
#include <tarn.h>

#include <QtCore/QEventLoop>
#include <QtCore/QPointer>
#include <QtCore/QSharedPointer>


struct RemotoResponsePrivate
{
    bool finished = false;
    int error = 0;
    Request *requestObject = nullptr;
    QVariantList data;
    QByteArray rawData;
    QDateTime timeStamp;
    int commandCode = -1;
    bool autoDelete = false;
    QPointer<QObject> requestReader;
    QEventLoop *waiter = nullptr;
};

RemotoResponse::RemotoResponse(Request *request, bool autoDelete)
    : d(new RemotoResponsePrivate)
{
    d->requestObject = request;
    d->autoDelete = autoDelete;
}

RemotoResponse::~RemotoResponse()
{
    // The connection's queued call for the request may not have run yet. A call queued after
    // it to the same receiver runs after it, and frees the request as it goes; if the receiver
    // is destroyed first, Qt drops both calls, and the request with the second one. A stopped
    // thread may be started again, so until then the request waits with its call.
    QObject *reader = d->requestReader.data();
    if (!reader || reader->thread() == thread())
        return;
    d->requestObject->setParent(nullptr);
    d->requestObject->moveToThread(reader->thread());
    const QSharedPointer<Request> request(d->requestObject);
    QMetaObject::invokeMethod(reader, [request] {}, Qt::QueuedConnection);
}

QVariantList RemotoResponse::data() const { return d->data; }
QByteArray RemotoResponse::rawData() const { return d->rawData; }
bool RemotoResponse::isFinished() const { return d->finished; }
QDateTime RemotoResponse::timeStamp() const { return d->timeStamp; }
int RemotoResponse::error() const { return d->error; }
int RemotoResponse::commandCode() const { return d->commandCode; }
bool RemotoResponse::autoDelete() const { return d->autoDelete; }
Request *RemotoResponse::request() const { return d->requestObject; }

void RemotoResponse::setRequestReader(QObject *connection)
{
    d->requestReader = connection;
}

void RemotoResponse::setWaiter(QEventLoop *loop)
{
    d->waiter = loop;
}

void RemotoResponse::finish()
{
    // The waiter keeps its loop alive until it is back, which is after this returns.
    QEventLoop *waiter = d->waiter;
    Q_EMIT finished();
    if (waiter)
        waiter->quit();
}

QVariant RemotoResponse::dataAt(int index) const
{
    return d->data.value(index);
}

QString RemotoResponse::errorString(bool verb) const
{
    return errorString(d->error, verb);
}

QString RemotoResponse::errorString(int code, bool verb) const
{
    if (!d->finished)
        return tr("No error");
    const QString name = ResultCodeTable::resultNames().value(code);
    if (name.isEmpty())
        return tr("Unknown error");
    if (!verb)
        return name;
    const QString text = ResultCodeTable::resultTexts().value(code);
    if (text.isEmpty())
        return name;
    return tr("%1(%2)").arg(name, text);
}

QString RemotoResponse::toString() const
{
    if (!d->finished)
        return tr("Wait RemotoResponse");
    const QStringList names = CommandCatalogue::answerParamNames().value(d->commandCode);
    QString text;
    for (int i = 0; i < d->data.size(); ++i) {
        QString label = names.value(i);
        if (label.isEmpty())
            label = tr("parametr %1").arg(i);
        const QVariant &value = d->data.at(i);
        const QString valueText = value.type() == QVariant::ByteArray
            ? QString::fromLatin1(value.toByteArray().toHex())
            : value.toString();
        text += QStringLiteral(" %1:%2").arg(label, valueText);
    }
    return text;
}

void RemotoResponse::finishWithResult(int code)
{
    d->finished = true;
    d->error = code;
    finish();
}

void RemotoResponse::decodeAnswer(const QByteArray &answer)
{
    d->finished = true;
    d->rawData = answer;
    AnswerHeader header;
    if (!AnswerHeader::read(answer, &header)) {
        // Too short to hold even the header: report it as bad data rather than as an empty
        // success.
        d->timeStamp = QDateTime();
        d->error = ResultCode::InvalidMessage;
        d->commandCode = -1;
        d->data.clear();
    } else {
        d->timeStamp = Tarn::doubleToDateTime(header.oleDate);
        d->error = header.result;
        d->commandCode = header.command;
        ValueListDecoder::decodeBase64(
            AnswerHeader::body(answer), Base64Codec::Mode::Lenient, &d->data);
    }
    finish();
}
