#include <connectionstate.h>
#include <message.h>
#include <notification.h>
#include <request.h>
#include <tarn.h>

#include <QtCore/QAtomicInteger>
#include <QtCore/QMutex>
#include <QtCore/QScopeGuard>
#include <QtCore/QThread>
#include <QtTest/QtTest>

#include <limits>
#include <memory>
#include <vector>

using Velmor::Command::Message;

namespace {

class MessageSender : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void message(const Velmor::Command::Message &);
};

class MessageReceiver : public QObject
{
    Q_OBJECT
public:
    Message received() const
    {
        QMutexLocker locker(&mutex);
        return last;
    }
    QThread *receivingThread() const
    {
        QMutexLocker locker(&mutex);
        return thread;
    }

    QAtomicInteger<int> count;

public Q_SLOTS:
    void message(const Velmor::Command::Message &message)
    {
        {
            QMutexLocker locker(&mutex);
            last = message;
            thread = QThread::currentThread();
        }
        count.fetchAndAddOrdered(1);
    }

private:
    mutable QMutex mutex;
    Message last;
    QThread *thread = nullptr;
};

} // namespace

class tst_Host : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // First, so nothing in this program has registered the types before the check.
    void metaTypesRegisteredByLibrary_data();
    void metaTypesRegisteredByLibrary();

    void doubleToDateTime_data();
    void doubleToDateTime();
    void doubleToDateTimeInvalid_data();
    void doubleToDateTimeInvalid();

    void requestKeepsConstructorArguments();
    void requestUidsDistinct();
    void requestOwnedByParent();

    void notificationData_data();
    void notificationData();

    void messageGadgetProperties_data();
    void messageGadgetProperties();
    void messageQueuedAcrossThreads();
};

void tst_Host::metaTypesRegisteredByLibrary_data()
{
    QTest::addColumn<QByteArray>("name");

    QTest::newRow("message") << QByteArray("Velmor::Command::Message");
    QTest::newRow("state") << QByteArray("Velmor::Connection::State");
    QTest::newRow("request pointer") << QByteArray("const Request*");
}

void tst_Host::metaTypesRegisteredByLibrary()
{
    QFETCH(QByteArray, name);

    // String-based connections look the types up by exactly these names.
    QVERIFY(QMetaType::type(name.constData()) != QMetaType::UnknownType);
}

void tst_Host::doubleToDateTime_data()
{
    QTest::addColumn<double>("days");
    QTest::addColumn<QDateTime>("expected");

    QTest::newRow("day zero") << 0.0 << QDateTime(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC);
    QTest::newRow("two days") << 2.0 << QDateTime(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC);
    QTest::newRow("unix epoch") << 25569.0 << QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC);
    QTest::newRow("quarter day") << 25569.25 << QDateTime(QDate(1970, 1, 1), QTime(6, 0), Qt::UTC);
    QTest::newRow("noon in 2023") << 45000.5
                                  << QDateTime(QDate(2023, 3, 15), QTime(12, 0), Qt::UTC);
    QTest::newRow("before day zero")
        << -1.0 << QDateTime(QDate(1899, 12, 29), QTime(0, 0), Qt::UTC);
    // Before day zero the fraction is still the time of day, counted forward.
    QTest::newRow("morning before day zero")
        << -1.25 << QDateTime(QDate(1899, 12, 29), QTime(6, 0), Qt::UTC);
    QTest::newRow("noon of day zero from below")
        << -0.5 << QDateTime(QDate(1899, 12, 30), QTime(12, 0), Qt::UTC);
}

void tst_Host::doubleToDateTime()
{
    QFETCH(double, days);
    QFETCH(QDateTime, expected);

    const QDateTime actual = Tarn::doubleToDateTime(days);
    QVERIFY(actual.isValid());
    QCOMPARE(actual.timeSpec(), Qt::UTC);
    QCOMPARE(actual, expected);
}

void tst_Host::doubleToDateTimeInvalid_data()
{
    QTest::addColumn<double>("days");

    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("+inf") << std::numeric_limits<double>::infinity();
    QTest::newRow("-inf") << -std::numeric_limits<double>::infinity();
    QTest::newRow("1e300") << 1e300;
    QTest::newRow("-1e300") << -1e300;
}

void tst_Host::doubleToDateTimeInvalid()
{
    QFETCH(double, days);

    QVERIFY(!Tarn::doubleToDateTime(days).isValid());
}

void tst_Host::requestKeepsConstructorArguments()
{
    const QVariant command(0x1102);
    const QVariant payload(QByteArray("AQID"));
    const Request request(5, 42, command, payload, Velmor::Command::Marker);

    QCOMPARE(request.sequence(), 5);
    QCOMPARE(request.objectId(), 42);
    QCOMPARE(request.command(), command);
    QCOMPARE(request.payload(), payload);
    QCOMPARE(request.magic(), Velmor::Command::Marker);
    QVERIFY(!request.parent());

    // Hosts read requests by property name only.
    QCOMPARE(request.property("sequence"), QVariant(5));
    QCOMPARE(request.property("objectId"), QVariant(42));
    QCOMPARE(request.property("command"), command);
    QCOMPARE(request.property("payload"), payload);
    QCOMPARE(request.property("magic"), QVariant(Velmor::Command::Marker));
    QCOMPARE(request.property("uid"), QVariant(request.uid()));
}

void tst_Host::requestUidsDistinct()
{
    constexpr int Count = 1000;
    std::vector<std::unique_ptr<Request>> requests;
    QSet<int> uids;
    for (int i = 0; i < Count; ++i) {
        // The same arguments every time: the uid alone must tell them apart.
        requests.emplace_back(new Request(0, 1, 0x1100, QByteArray(), Velmor::Command::Marker));
        uids.insert(requests.back()->uid());
    }
    QCOMPARE(uids.size(), Count);
}

void tst_Host::requestOwnedByParent()
{
    auto *parent = new QObject;
    QPointer<Request> request = new Request(0, 1, 0x1100, QByteArray(), 0, parent);
    QCOMPARE(request->parent(), parent);
    QVERIFY(parent->children().contains(request.data()));
    delete parent;
    QVERIFY(request.isNull());
}

void tst_Host::notificationData_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QVariantList>("expected");

    QTest::newRow("base64 text") << QByteArray("AAAAAQ==")
                                 << QVariantList { QByteArray("AAAAAQ==") };
    QTest::newRow("one character") << QByteArray("A") << QVariantList { QByteArray("A") };
    QTest::newRow("empty") << QByteArray() << QVariantList();
    const QByteArray large(100 * 1024, 'A');
    QTest::newRow("large") << large << QVariantList { large };
}

void tst_Host::notificationData()
{
    QFETCH(QByteArray, payload);
    QFETCH(QVariantList, expected);

    const Notification notification(payload, Velmor::Command::Marker);
    const QVariant data = notification.data();
    QCOMPARE(data.userType(), int(QMetaType::QVariantList));
    const QVariantList items = data.toList();
    QCOMPARE(items.size(), expected.size());
    for (int i = 0; i < items.size(); ++i)
        QCOMPARE(items.at(i).toByteArray(), expected.at(i).toByteArray());
    QCOMPARE(notification.magic(), Velmor::Command::Marker);

    // Reading the next notification, while this one's data is still held, leaves it alone.
    const Notification next(QByteArray("BBBB"), Velmor::Command::Marker);
    QCOMPARE(next.data().toList(), QVariantList { QByteArray("BBBB") });
    QCOMPARE(data.toList(), items);
    QCOMPARE(next.data().toList(), QVariantList { QByteArray("BBBB") });
}

void tst_Host::messageGadgetProperties_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("requestUid") << QByteArray("requestUid") << QVariant(quint32(0xFFFFFFF0u));
    QTest::newRow("objectId") << QByteArray("objectId") << QVariant(quint32(7));
    QTest::newRow("kind") << QByteArray("kind") << QVariant(qint32(Velmor::Command::ObjectUp));
    QTest::newRow("magic") << QByteArray("magic") << QVariant(qint32(Velmor::Command::Marker));
    QTest::newRow("payload") << QByteArray("payload") << QVariant(QByteArray("QUJD"));
}

void tst_Host::messageGadgetProperties()
{
    QFETCH(QByteArray, name);
    QFETCH(QVariant, value);

    const QMetaObject &metaObject = Message::staticMetaObject;
    const int index = metaObject.indexOfProperty(name.constData());
    QVERIFY(index >= 0);
    const QMetaProperty property = metaObject.property(index);
    QVERIFY(property.isReadable());
    QVERIFY(property.isWritable());

    Message message;
    QVERIFY(property.writeOnGadget(&message, value));
    QCOMPARE(property.readOnGadget(&message), value);

    // Only the written field changed.
    const Message untouched;
    for (int i = metaObject.propertyOffset(); i < metaObject.propertyCount(); ++i) {
        if (i == index)
            continue;
        const QMetaProperty other = metaObject.property(i);
        QCOMPARE(other.readOnGadget(&message), other.readOnGadget(&untouched));
    }
}

void tst_Host::messageQueuedAcrossThreads()
{
    QThread thread;
    MessageSender sender;
    MessageReceiver receiver;
    receiver.moveToThread(&thread);
    // Connected by name, as the module connects to a host's connection.
    QVERIFY(connect(&sender, SIGNAL(message(const Velmor::Command::Message &)), &receiver,
        SLOT(message(const Velmor::Command::Message &)), Qt::QueuedConnection));
    thread.start();
    // Also on a failed check: a QThread must not be destroyed while it runs.
    const auto stopThread = qScopeGuard([&thread] {
        thread.quit();
        thread.wait();
    });

    Message sent;
    sent.requestUid = 12345;
    sent.objectId = 7;
    sent.kind = Velmor::Command::Answer;
    sent.magic = Velmor::Command::Marker;
    sent.payload = QByteArray("AAAAAQAAAAA=");
    Q_EMIT sender.message(sent);

    QTRY_COMPARE_WITH_TIMEOUT(receiver.count.loadAcquire(), 1, 20000);
    QCOMPARE(receiver.receivingThread(), &thread);
    const Message received = receiver.received();
    QCOMPARE(received.requestUid, sent.requestUid);
    QCOMPARE(received.objectId, sent.objectId);
    QCOMPARE(received.kind, sent.kind);
    QCOMPARE(received.magic, sent.magic);
    QCOMPARE(received.payload, sent.payload);
}

QTEST_MAIN(tst_Host)
#include "tst_host.moc"
