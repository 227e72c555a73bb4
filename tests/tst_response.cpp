#include "commandcatalogue.h"
#include "commandchannel.h"
#include "fakeremote.h"
#include "propertycheck.h"
#include "remotoresponse.h"

#include <message.h>
#include <request.h>

#include <QtCore/QDataStream>
#include <QtCore/QMetaMethod>
#include <QtCore/QMetaProperty>
#include <QtCore/QPointer>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

#include <limits>
#include <memory>

namespace {
constexpr int Invoke = CommandCatalogue::Invoke;
constexpr int UnknownCommand = 0x7777;

// A response as the module builds one: its request is its child.
RemotoResponse *makeResponse(bool autoDelete)
{
    auto *request
        = new Request(0, 1, QVariant(Invoke), QVariant(QByteArray()), Velmor::Command::Marker);
    auto *response = new RemotoResponse(request, autoDelete);
    request->setParent(response);
    return response;
}

QByteArray answer(const QVariantList &values, qint32 result = 0, qint32 commandCode = Invoke,
    double timeStamp = 45000.5)
{
    return FakeRemote::answerBytes(values, result, commandCode, timeStamp);
}

const QDateTime noon(QDate(2023, 3, 15), QTime(12, 0), Qt::UTC);
} // namespace

class TestResponse : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanupTestCase();

    void newResponse();
    void metaObject();

    void errorStringUnfinished_data();
    void errorStringUnfinished();
    void errorStringFinished_data();
    void errorStringFinished();

    void toString_data();
    void toString();
    void dataAt();
    void finishWithResult();
    void finishWithResultKeepsDecodedAnswer();

    void decodeAnswer_data();
    void decodeAnswer();
    void propertiesAfterDecoding();
    void selfDeletingResponse_data();
    void selfDeletingResponse();
    void responsesThatDoNotDeleteThemselves();
};

void TestResponse::cleanupTestCase()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TestResponse::newResponse()
{
    std::unique_ptr<RemotoResponse> response(makeResponse(false));
    QVERIFY(!response->isFinished());
    QCOMPARE(response->error(), 0);
    QVERIFY(response->data().isEmpty());
    QVERIFY(response->rawData().isEmpty());
    QVERIFY(!response->timeStamp().isValid());
    QCOMPARE(response->commandCode(), -1);
    QCOMPARE(response->toString(), QStringLiteral("Wait RemotoResponse"));
    QVERIFY(response->parent() == nullptr);
    QVERIFY(response->request());
    QCOMPARE(response->request()->parent(), response.get());

    QCOMPARE(response->property("isFinished"), QVariant(false));
    QCOMPARE(response->property("error"), QVariant(0));
    QCOMPARE(response->property("data"), QVariant(QVariantList()));
    QCOMPARE(response->property("rawData").toByteArray(), QByteArray());
    QVERIFY(!response->property("timeStamp").toDateTime().isValid());
}

void TestResponse::metaObject()
{
    const QMetaObject &meta = RemotoResponse::staticMetaObject;
    QCOMPARE(meta.className(), "RemotoResponse");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.classInfoCount() - meta.classInfoOffset(), 0);

    const QList<QPair<QByteArray, QMetaMethod::MethodType>> methods {
        { "finished()", QMetaMethod::Signal },
        { "toString()", QMetaMethod::Method },
        { "errorString(bool)", QMetaMethod::Method },
        { "errorString()", QMetaMethod::Method },
        { "errorString(int,bool)", QMetaMethod::Method },
        { "errorString(int)", QMetaMethod::Method },
    };
    QCOMPARE(meta.methodCount() - meta.methodOffset(), methods.size());
    for (int i = 0; i < methods.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), methods.at(i).first);
        QCOMPARE(method.methodType(), methods.at(i).second);
        QCOMPARE(method.access(), QMetaMethod::Public);
        QCOMPARE(QByteArray(method.typeName()), QByteArray(i == 0 ? "void" : "QString"));
    }

    const QList<QPair<QByteArray, QByteArray>> properties {
        { "data", "QVariantList" },
        { "rawData", "QByteArray" },
        { "isFinished", "bool" },
        { "timeStamp", "QDateTime" },
        { "error", "int" },
    };
    QCOMPARE(meta.propertyCount() - meta.propertyOffset(), properties.size());
    for (int i = 0; i < properties.size(); ++i) {
        const QMetaProperty property = meta.property(meta.propertyOffset() + i);
        QCOMPARE(QByteArray(property.name()), properties.at(i).first);
        QCOMPARE(QByteArray(property.typeName()), properties.at(i).second);
        verifyPlainReadOnly(property);
        if (QTest::currentTestFailed())
            return;
    }

    std::unique_ptr<RemotoResponse> response(makeResponse(false));
    QVERIFY(qobject_cast<RemotoResponse *>(static_cast<QObject *>(response.get())));
    QVERIFY(response->qt_metacast("RemotoResponse"));
}

void TestResponse::errorStringUnfinished_data()
{
    QTest::addColumn<int>("code");

    QTest::newRow("ok") << 0;
    QTest::newRow("no rights") << 17;
    QTest::newRow("name without text") << 0x120A;
    QTest::newRow("unknown") << 0x7777;
}

void TestResponse::errorStringUnfinished()
{
    QFETCH(int, code);

    std::unique_ptr<RemotoResponse> response(makeResponse(false));
    const QString none = QStringLiteral("No error");
    QCOMPARE(response->errorString(), none);
    QCOMPARE(response->errorString(false), none);
    QCOMPARE(response->errorString(true), none);
    QCOMPARE(response->errorString(code), none);
    QCOMPARE(response->errorString(code, false), none);
    QCOMPARE(response->errorString(code, true), none);

    QString text;
    QVERIFY(QMetaObject::invokeMethod(response.get(), "errorString", Q_RETURN_ARG(QString, text),
        Q_ARG(int, code), Q_ARG(bool, true)));
    QCOMPARE(text, none);
}

void TestResponse::errorStringFinished_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("terse");
    QTest::addColumn<QString>("verbose");

    QTest::newRow("ok") << 0 << QStringLiteral("OK")
                        << QStringLiteral("OK(команда выполнена успешно)");
    QTest::newRow("invalid param 4") << 4 << QStringLiteral("INVALID_PARAM")
                                     << QStringLiteral("INVALID_PARAM(Неверный блок параметров)");
    QTest::newRow("no rights") << 17 << QStringLiteral("NO_RIGHTS")
                               << QStringLiteral(
                                      "NO_RIGHTS(Недостаточно прав для выполнения команды)");
    QTest::newRow("device ok") << 0x1200 << QStringLiteral(">OK")
                               << QStringLiteral(">OK(команда завершилась успешно)");
    QTest::newRow("name without text")
        << 0x120A << QStringLiteral(">INVALID_CMD_NUMBER") << QStringLiteral(">INVALID_CMD_NUMBER");
    QTest::newRow("unknown between codes")
        << 12 << QStringLiteral("Unknown error") << QStringLiteral("Unknown error");
    QTest::newRow("unknown negative")
        << -1 << QStringLiteral("Unknown error") << QStringLiteral("Unknown error");
    QTest::newRow("unknown large")
        << 0x7777 << QStringLiteral("Unknown error") << QStringLiteral("Unknown error");
}

void TestResponse::errorStringFinished()
{
    QFETCH(int, code);
    QFETCH(QString, terse);
    QFETCH(QString, verbose);

    // The forms without a code read the response's own result code.
    std::unique_ptr<RemotoResponse> own(makeResponse(false));
    own->finishWithResult(code);
    QCOMPARE(own->errorString(), terse);
    QCOMPARE(own->errorString(false), terse);
    QCOMPARE(own->errorString(true), verbose);

    // The forms with a code need not be given the response's own one.
    std::unique_ptr<RemotoResponse> other(makeResponse(false));
    other->finishWithResult(code == 9 ? 10 : 9);
    QCOMPARE(other->errorString(code), terse);
    QCOMPARE(other->errorString(code, false), terse);
    QCOMPARE(other->errorString(code, true), verbose);

    // And the same through the meta-object, one call per overload.
    QString text;
    QVERIFY(QMetaObject::invokeMethod(own.get(), "errorString", Q_RETURN_ARG(QString, text)));
    QCOMPARE(text, terse);
    QVERIFY(QMetaObject::invokeMethod(
        own.get(), "errorString", Q_RETURN_ARG(QString, text), Q_ARG(bool, true)));
    QCOMPARE(text, verbose);
    QVERIFY(QMetaObject::invokeMethod(
        other.get(), "errorString", Q_RETURN_ARG(QString, text), Q_ARG(int, code)));
    QCOMPARE(text, terse);
    QVERIFY(QMetaObject::invokeMethod(other.get(), "errorString", Q_RETURN_ARG(QString, text),
        Q_ARG(int, code), Q_ARG(bool, true)));
    QCOMPARE(text, verbose);
}

void TestResponse::toString_data()
{
    QTest::addColumn<QVariantList>("values");
    QTest::addColumn<int>("commandCode");
    QTest::addColumn<QString>("text");

    const QVariantList example { true, 5, QByteArray("\x01\xFF", 2) };
    QTest::newRow("example") << example << UnknownCommand
                             << QStringLiteral(" parametr 0:true parametr 1:5 parametr 2:01ff");
    QTest::newRow("catalogued answer")
        << example << Invoke << QStringLiteral(" parametr 0:true parametr 1:5 parametr 2:01ff");
    QTest::newRow("printable bytes in hex") << QVariantList { QByteArray("AZ09") } << UnknownCommand
                                            << QStringLiteral(" parametr 0:415a3039");
    QTest::newRow("empty bytes") << QVariantList { QByteArray("") } << UnknownCommand
                                 << QStringLiteral(" parametr 0:");
    QTest::newRow("text") << QVariantList { QStringLiteral("текст"), 2.5, false } << UnknownCommand
                          << QStringLiteral(" parametr 0:текст parametr 1:2.5 parametr 2:false");
    QTest::newRow("value without text form")
        << QVariantList { QVariantMap { { QStringLiteral("k"), 1 } } } << UnknownCommand
        << QStringLiteral(" parametr 0:");
    QVariantList eleven;
    QString elevenText;
    for (int i = 0; i < 11; ++i) {
        eleven.append(i * 10);
        elevenText += QStringLiteral(" parametr %1:%2").arg(i).arg(i * 10);
    }
    QTest::newRow("two-digit index") << eleven << UnknownCommand << elevenText;
    QTest::newRow("no values") << QVariantList() << Invoke << QString();
}

void TestResponse::toString()
{
    QFETCH(QVariantList, values);
    QFETCH(int, commandCode);
    QFETCH(QString, text);

    std::unique_ptr<RemotoResponse> response(makeResponse(false));
    response->decodeAnswer(answer(values, 0, commandCode));
    QCOMPARE(response->data(), values);
    QCOMPARE(response->toString(), text);

    QString viaMeta;
    QVERIFY(QMetaObject::invokeMethod(response.get(), "toString", Q_RETURN_ARG(QString, viaMeta)));
    QCOMPARE(viaMeta, text);
}

void TestResponse::dataAt()
{
    std::unique_ptr<RemotoResponse> response(makeResponse(false));
    QVERIFY(!response->dataAt(0).isValid());
    QVERIFY(!response->dataAt(-1).isValid());

    response->decodeAnswer(answer({ true, QStringLiteral("two") }));
    QCOMPARE(response->dataAt(0), QVariant(true));
    QCOMPARE(response->dataAt(1), QVariant(QStringLiteral("two")));
    QVERIFY(!response->dataAt(-1).isValid());
    QVERIFY(!response->dataAt(2).isValid());
    QVERIFY(!response->dataAt(std::numeric_limits<int>::max()).isValid());
    QVERIFY(!response->dataAt(std::numeric_limits<int>::min()).isValid());
}

void TestResponse::finishWithResult()
{
    std::unique_ptr<RemotoResponse> response(makeResponse(false));
    QSignalSpy finished(response.get(), &RemotoResponse::finished);
    response->finishWithResult(17);

    QCOMPARE(finished.count(), 1);
    QVERIFY(response->isFinished());
    QCOMPARE(response->error(), 17);
    QCOMPARE(response->commandCode(), -1);
    QVERIFY(response->data().isEmpty());
    QVERIFY(response->rawData().isEmpty());
    QVERIFY(!response->timeStamp().isValid());
    QVERIFY(response->toString().isEmpty());

    // A second result overwrites the first and is announced again.
    response->finishWithResult(0);
    QCOMPARE(finished.count(), 2);
    QCOMPARE(response->error(), 0);
}

void TestResponse::finishWithResultKeepsDecodedAnswer()
{
    std::unique_ptr<RemotoResponse> response(makeResponse(false));
    const QByteArray raw = answer({ true, 5 }, 4, Invoke);
    response->decodeAnswer(raw);
    response->finishWithResult(0);

    QCOMPARE(response->error(), 0);
    QCOMPARE(response->data(), (QVariantList { true, 5 }));
    QCOMPARE(response->rawData(), raw);
    QCOMPARE(response->timeStamp(), noon);
    QCOMPARE(response->commandCode(), Invoke);
}

void TestResponse::decodeAnswer_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("commandCode");
    QTest::addColumn<QDateTime>("timeStamp");
    QTest::addColumn<QVariantList>("data");

    const QVariantList values { true, 5, QStringLiteral("x") };
    const QByteArray head = FakeRemote::answerHeader(45000.5, 0, Invoke);

    QTest::newRow("header only") << FakeRemote::answerHeader(45000.5, 3, 0x1101) << 3 << 0x1101
                                 << noon << QVariantList();
    QTest::newRow("values") << answer(values) << 0 << Invoke << noon << values;
    QTest::newRow("code 17 with values") << answer(values, 17) << 17 << Invoke << noon << values;
    QTest::newRow("negative codes") << answer(values, -1, -2) << -1 << -2 << noon << values;
    // The header written out byte by byte: 1.0 days, result 0x120A, command 0x1102.
    QTest::newRow("little-endian header")
        << QByteArray(QByteArray::fromHex("000000000000f03f"
                                          "0a120000"
                                          "02110000")
               + FakeRemote::encodeValues({ 1 }).toBase64())
        << 0x120A << 0x1102 << QDateTime(QDate(1899, 12, 31), QTime(0, 0), Qt::UTC)
        << QVariantList { 1 };

    QByteArray countZero(4, '\0');
    QTest::newRow("count 0") << QByteArray(head + countZero.toBase64()) << 0 << Invoke << noon
                             << QVariantList();

    QByteArray shortList;
    {
        QDataStream out(&shortList, QIODevice::WriteOnly);
        out << quint32(3) << QVariant(1) << QVariant(QStringLiteral("a"));
    }
    QTest::newRow("count 3 with two values")
        << QByteArray(head + shortList.toBase64()) << 0 << Invoke << noon << QVariantList();
    QTest::newRow("body not base64")
        << QByteArray(head + "%%%%") << 0 << Invoke << noon << QVariantList();
    QTest::newRow("truncated count") << QByteArray(head + QByteArray(3, '\0').toBase64()) << 0
                                     << Invoke << noon << QVariantList();

    const QVariantList text { QStringLiteral("ab") };
    QByteArray unpadded = FakeRemote::encodeValues(text).toBase64();
    QVERIFY(unpadded.endsWith('='));
    while (unpadded.endsWith('='))
        unpadded.chop(1);
    QTest::newRow("missing padding") << QByteArray(head + unpadded) << 0 << Invoke << noon << text;
    QByteArray broken = FakeRemote::encodeValues(values).toBase64();
    broken.insert(8, "\r\n ");
    QTest::newRow("line breaks in base64")
        << QByteArray(head + broken) << 0 << Invoke << noon << values;

    QTest::newRow("short empty") << QByteArray() << 5 << -1 << QDateTime() << QVariantList();
    QTest::newRow("short one byte")
        << QByteArray(1, '\x11') << 5 << -1 << QDateTime() << QVariantList();
    QTest::newRow("short fifteen bytes")
        << head.left(15) << 5 << -1 << QDateTime() << QVariantList();

    QTest::newRow("NaN time stamp")
        << answer(values, 0, Invoke, std::numeric_limits<double>::quiet_NaN()) << 0 << Invoke
        << QDateTime() << values;
    QTest::newRow("infinite time stamp")
        << answer(values, 0, Invoke, std::numeric_limits<double>::infinity()) << 0 << Invoke
        << QDateTime() << values;
    QTest::newRow("negative infinite time stamp")
        << answer(values, 0, Invoke, -std::numeric_limits<double>::infinity()) << 0 << Invoke
        << QDateTime() << values;
}

void TestResponse::decodeAnswer()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, error);
    QFETCH(int, commandCode);
    QFETCH(QDateTime, timeStamp);
    QFETCH(QVariantList, data);

    std::unique_ptr<RemotoResponse> response(makeResponse(false));
    QSignalSpy finished(response.get(), &RemotoResponse::finished);
    bool finishedSeenInSlot = false;
    connect(response.get(), &RemotoResponse::finished, this,
        [&] { finishedSeenInSlot = response->isFinished(); });

    response->decodeAnswer(raw);

    QCOMPARE(finished.count(), 1);
    QVERIFY(finishedSeenInSlot);
    QVERIFY(response->isFinished());
    QCOMPARE(response->error(), error);
    QCOMPARE(response->commandCode(), commandCode);
    QCOMPARE(response->data(), data);
    QCOMPARE(response->rawData(), raw);
    QCOMPARE(response->rawData().size(), raw.size());
    QCOMPARE(response->timeStamp().isValid(), timeStamp.isValid());
    if (timeStamp.isValid()) {
        QCOMPARE(response->timeStamp(), timeStamp);
        QCOMPARE(response->timeStamp().timeSpec(), Qt::UTC);
    }
}

void TestResponse::propertiesAfterDecoding()
{
    std::unique_ptr<RemotoResponse> response(makeResponse(false));
    const QByteArray raw = answer({ true, QByteArray("\x00\x01", 2) }, 17, Invoke);
    response->decodeAnswer(raw);

    QCOMPARE(response->property("isFinished"), QVariant(true));
    QCOMPARE(response->property("error"), QVariant(17));
    QCOMPARE(
        response->property("data").toList(), (QVariantList { true, QByteArray("\x00\x01", 2) }));
    QCOMPARE(response->property("rawData").toByteArray(), raw);
    QCOMPARE(response->property("timeStamp").toDateTime(), noon);
    QCOMPARE(response->timeStamp().toString(Qt::ISODate), QStringLiteral("2023-03-15T12:00:00Z"));
}

void TestResponse::selfDeletingResponse_data()
{
    QTest::addColumn<QByteArray>("raw");

    QTest::newRow("answer") << answer({ true, 5 });
    QTest::newRow("short answer") << QByteArray("abc");
}

void TestResponse::selfDeletingResponse()
{
    QFETCH(QByteArray, raw);

    QPointer<RemotoResponse> response = makeResponse(true);
    QPointer<Request> request = response->request();
    QSignalSpy finished(response.data(), &RemotoResponse::finished);
    response->decodeAnswer(raw);

    // Decoding frees nothing: the one who took it out of its table releases it once read.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(response);
    QCOMPARE(finished.count(), 1);
    QVERIFY(response->isFinished());
    QCOMPARE(response->rawData(), raw);

    CommandChannel::release(response);
    QVERIFY(response);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!response);
    QVERIFY(!request);
}

void TestResponse::responsesThatDoNotDeleteThemselves()
{
    QPointer<RemotoResponse> waited = makeResponse(false);
    waited->decodeAnswer(answer({ true }));
    QPointer<RemotoResponse> closed = makeResponse(true);
    closed->finishWithResult(0);
    QPointer<Request> closedRequest = closed->request();

    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(waited);
    QVERIFY(closed);
    QVERIFY(closedRequest);
    QCOMPARE(closed->request(), closedRequest.data());

    delete waited.data();
    delete closed.data();
    QVERIFY(!closedRequest);
}

QTEST_MAIN(TestResponse)
#include "tst_response.moc"
