// Measures the module as a host sees it: the built plug-in loaded with QPluginLoader and an
// in-process remote side that answers from prepared bytes. Prints medians and the ratios that
// matter side by side; nothing here fails on a figure.

#include "base64codec.h"
#include "benchreport.h"
#include "commandcatalogue.h"

#include <connectionstate.h>
#include <message.h>
#include <request.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDataStream>
#include <QtCore/QElapsedTimer>
#include <QtCore/QPluginLoader>
#include <QtCore/QTimer>
#include <QtCore/QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {
constexpr int GetInfo = CommandCatalogue::GetInfo;
constexpr int GetMetaInfo = CommandCatalogue::GetMetaInfo;
constexpr int Invoke = CommandCatalogue::Invoke;

QByteArray encode(const QVariantList &values)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << values;
    return bytes;
}

QByteArray answerBytes(const QVariantList &values, int commandCode)
{
    QByteArray bytes(16, '\0');
    const double stamp = 45000.5;
    quint64 bits;
    std::memcpy(&bits, &stamp, sizeof bits);
    qToLittleEndian<quint64>(bits, bytes.data());
    qToLittleEndian<qint32>(commandCode, bytes.data() + 12);
    return bytes + encode(values).toBase64();
}

QStringList metaInfo(int methods)
{
    QStringList records{QStringLiteral("Bench")};
    // The method called sits first, so a walk from the end would have to pass all others.
    records << QStringLiteral("Method int add(int,int)");
    for (int i = 1; i < methods; ++i)
        records << QStringLiteral("Method int other%1(int,int)").arg(i);
    records << QStringLiteral("Signal void changed(int)");
    return records;
}
} // namespace

// The remote side: every answer is prepared once and sent as it is.
class BenchRemote : public QObject
{
    Q_OBJECT
public:
    bool queued = false;
    int methods = 5;
    QByteArray invokeAnswer = answerBytes({true, 5}, Invoke);

    void send(quint32 objectId, qint32 kind, const QByteArray &payload, quint32 uid = 0)
    {
        Velmor::Command::Message m;
        m.requestUid = uid;
        m.objectId = objectId;
        m.kind = kind;
        m.magic = Velmor::Command::Marker;
        m.payload = payload;
        Q_EMIT message(m);
    }

public Q_SLOTS:
    void request(const Request *request)
    {
        const int command = request->command().toInt();
        const quint32 id = quint32(request->objectId());
        const quint32 uid = quint32(request->uid());
        QByteArray answer;
        if (command == Invoke)
            answer = invokeAnswer;
        else if (command == GetInfo)
            answer = answerBytes({id, QStringLiteral("o%1").arg(id)}, GetInfo);
        else if (command == GetMetaInfo)
            answer = answerBytes({metaInfo(methods)}, GetMetaInfo);
        else
            return;
        if (queued)
            QTimer::singleShot(0, this, [=] { send(id, Velmor::Command::Answer, answer, uid); });
        else
            send(id, Velmor::Command::Answer, answer, uid);
    }

Q_SIGNALS:
    void message(const Velmor::Command::Message &);
    void stateChanged(const Velmor::Connection::State);
};

class LocalTarget : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE QVariant add(QVariantList args) { return args.value(0).toInt() + args.value(1).toInt(); }
Q_SIGNALS:
    void event(QString name, QVariantList params);
};

class Sink : public QObject
{
    Q_OBJECT
public:
    int received = 0;
public Q_SLOTS:
    void onEvent(const QString &, const QVariantList &) { ++received; }
};

struct Setup
{
    QPluginLoader *loader;
    QObject *plugin;
    BenchRemote remote;

    explicit Setup(QPluginLoader *l, int objects, int methods, bool queued)
        : loader(l)
        , plugin(l->instance())
    {
        remote.methods = methods;
        QMetaObject::invokeMethod(plugin, "setConnection", Q_ARG(QObject *, &remote));
        for (int id = 1; id <= objects; ++id)
            remote.send(quint32(id), Velmor::Command::ObjectUp, QByteArray());
        remote.queued = queued;
        QCoreApplication::processEvents();
    }
    ~Setup()
    {
        delete plugin;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    QObject *proxy(int id) const
    {
        QObject *found = nullptr;
        QMetaObject::invokeMethod(plugin, "findRpcObject", Q_RETURN_ARG(QObject *, found),
                                  Q_ARG(QString, QStringLiteral("o%1").arg(id)));
        return found;
    }
};

// Median nanoseconds per operation over several rounds of `iterations` operations.
double median(int rounds, int iterations, const std::function<void()> &operation)
{
    std::vector<double> samples;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < iterations; ++i)
            operation();
        samples.push_back(double(timer.nsecsElapsed()) / iterations);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

QVariant invokeAdd(QObject *proxy)
{
    QVariant result;
    QMetaObject::invokeMethod(proxy, "invoke", Q_RETURN_ARG(QVariant, result),
                              Q_ARG(QString, QStringLiteral("add")),
                              Q_ARG(QVariantList, QVariantList({2, 3})));
    return result;
}

void report(const char *what, double value, double floor, double target)
{
    std::printf("%-58s %10.0f ns  %6.2fx", what, value, value / floor);
    BenchReport::printTarget(value / floor, BenchReport::Better::Lower, target);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QPluginLoader loader(QStringLiteral(REMOTO_PLUGIN_PATH));
    if (!loader.instance()) {
        std::fprintf(stderr, "cannot load the plug-in: %s\n", qPrintable(loader.errorString()));
        return 1;
    }
    const int rounds = 9;

    // Floor of a call: a local invoke by name plus one encode and one decode of the list.
    const char *what = "floor: local invokeMethod + encode + decode";
    BenchReport::measuring(what);
    LocalTarget target;
    const QVariantList callList{QVariant(QVariant::Int), QStringLiteral("add(int,int)"), 2, 3};
    const double callFloor = median(rounds, 20000, [&] {
        QVariant result;
        QMetaObject::invokeMethod(&target, "add", Q_RETURN_ARG(QVariant, result),
                                  Q_ARG(QVariantList, QVariantList({2, 3})));
        QVariantList decoded;
        QDataStream in(encode(callList));
        in >> decoded;
    });
    std::printf("%-58s %10.0f ns\n", what, callFloor);

    double direct5 = 0;
    {
        what = "invoke answered inside request";
        BenchReport::measuring(what);
        Setup s(&loader, 1, 5, false);
        QObject *proxy = s.proxy(1);
        direct5 = median(rounds, 5000, [&] { invokeAdd(proxy); });
        report(what, direct5, callFloor, 4);
    }
    {
        what = "invoke answered through the event loop";
        BenchReport::measuring(what);
        Setup s(&loader, 1, 5, true);
        QObject *proxy = s.proxy(1);
        const double queued = median(rounds, 2000, [&] { invokeAdd(proxy); });
        report(what, queued, callFloor, 6);
    }

    // Notifications: the remote side emits; a slot on event counts them.
    {
        const QByteArray payload
            = encode({QVariant(), QStringLiteral("changed(int)"), 42}).toBase64();
        Sink sink;
        QObject::connect(&target, &LocalTarget::event, &sink, &Sink::onEvent);
        what = "floor: decode + local signal";
        BenchReport::measuring(what);
        const double floor = median(rounds, 20000, [&] {
            QVariantList values;
            QDataStream in(QByteArray::fromBase64(payload));
            in >> values;
            Q_EMIT target.event(values.at(1).toString(), values.mid(2));
        });
        std::printf("%-58s %10.0f ns\n", what, floor);
        what = "notification delivered to a slot on event";
        BenchReport::measuring(what);
        Setup s(&loader, 1, 5, false);
        QObject::connect(s.proxy(1), SIGNAL(event(QString, QVariantList)), &sink,
                         SLOT(onEvent(QString, QVariantList)));
        const double notify = median(rounds, 20000, [&] {
            s.remote.send(1, Velmor::Command::Notify, payload);
        });
        report(what, notify, floor, 2);
    }

    // Discovery: announce N objects, each answered inside request.
    auto discovery = [&](const char *row, int objects) {
        BenchReport::measuring(row);
        std::vector<double> samples;
        for (int r = 0; r < 5; ++r) {
            QElapsedTimer timer;
            timer.start();
            Setup s(&loader, objects, 5, false);
            samples.push_back(double(timer.nsecsElapsed()));
        }
        std::sort(samples.begin(), samples.end());
        return samples[samples.size() / 2];
    };
    const char *const discovered1000 = "discovery of 1,000 objects";
    const char *const discovered10000 = "discovery of 10,000 objects";
    const double d1000 = discovery(discovered1000, 1000);
    std::printf("%-58s %10.1f ms\n", discovered1000, d1000 / 1e6);
    const double d10000 = discovery(discovered10000, 10000);
    std::printf("%-58s %10.1f ms  %6.2fx", discovered10000, d10000 / 1e6, d10000 / d1000);
    BenchReport::printTarget(d10000 / d1000, BenchReport::Better::Lower, 12);

    {
        what = "invoke on a class of 500 methods vs 5";
        BenchReport::measuring(what);
        Setup s(&loader, 1, 500, false);
        QObject *proxy = s.proxy(1);
        const double many = median(rounds, 5000, [&] { invokeAdd(proxy); });
        report(what, many, direct5, 1.1);
    }
    auto callAmong = [&](const char *row, int objects) {
        BenchReport::measuring(row);
        Setup s(&loader, objects, 5, false);
        QObject *proxy = s.proxy(objects / 2);
        return median(rounds, 5000, [&] { invokeAdd(proxy); });
    };
    what = "invoke with 10 registered objects";
    const double ten = callAmong(what, 10);
    std::printf("%-58s %10.0f ns\n", what, ten);
    what = "invoke with 10,000 registered objects vs 10";
    report(what, callAmong(what, 10000), ten, 1.1);

    // The Base64 codec alone on a large value, on each path this processor has; megabytes of
    // bytes, encoded or decoded, a second.
    {
        QByteArray bytes(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 167 + (i >> 8));
        const QByteArray text = bytes.toBase64();
        const char *const paths[] = {"scalar", "SSSE3", "AVX2", "AVX-512 VBMI"};
        const auto rate = [&](const char *operation, const char *path,
                              const std::function<void()> &run) {
            const QByteArray row = QByteArray("Base64 ") + operation + " of 1 MiB, " + path;
            BenchReport::measuring(row.constData());
            std::printf("%-58s %10.0f MB/s\n", row.constData(),
                        bytes.size() * 1e3 / median(rounds, 100, run));
        };
        QByteArray out;
        for (const Base64Codec::Path path : Base64Codec::availablePaths()) {
            Base64Codec::setPath(path);
            rate("encode", paths[int(path)], [&] { Base64Codec::encode(bytes, &out); });
            rate("decode", paths[int(path)], [&] { Base64Codec::decodeStrict(text, &out); });
        }
    }
    return 0;
}

#include "remoto_bench.moc"
