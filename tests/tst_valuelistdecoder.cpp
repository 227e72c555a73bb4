#include "valuelistdecoder.h"

#include "base64codec.h"
#include "valuelistencoder.h"

#include "message.h"
#include "messagelog.h"

#include <QtCore/QBitArray>
#include <QtCore/QDataStream>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QLine>
#include <QtCore/QLocale>
#include <QtCore/QMultiHash>
#include <QtCore/QMultiMap>
#include <QtCore/QRect>
#include <QtCore/QScopeGuard>
#include <QtCore/QTimeZone>
#include <QtCore/QUrl>
#include <QtCore/QUuid>
#include <QtGui/QColor>
#include <QtGui/QKeySequence>
#include <QtGui/QMatrix4x4>
#include <QtGui/QTransform>
#include <QtGui/QVector2D>
#include <QtTest/QtTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#if defined(Q_OS_LINUX) && !defined(__SANITIZE_ADDRESS__)
#define CAN_CAP_ADDRESS_SPACE
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

// A custom type with stream operators, which QDataStream writes by its name.
struct Tally
{
    qint32 count = 0;
};
QDataStream &operator<<(QDataStream &out, const Tally &tally)
{
    return out << tally.count;
}
QDataStream &operator>>(QDataStream &in, Tally &tally)
{
    return in >> tally.count;
}
Q_DECLARE_METATYPE(Tally)

// A custom type whose writing fails, as one writing to a full device would.
struct Unwritable
{
};
QDataStream &operator<<(QDataStream &out, const Unwritable &)
{
    out.setStatus(QDataStream::WriteFailed);
    return out;
}
QDataStream &operator>>(QDataStream &in, Unwritable &)
{
    return in;
}
Q_DECLARE_METATYPE(Unwritable)

Q_DECLARE_METATYPE(Base64Codec::Path)

namespace {

QByteArray serialised(const QVariantList &values)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_15);
    out << values;
    return bytes;
}

// Only for bytes the decoder accepted: QDataStream reserves whatever count it reads.
QVariantList qtDecoded(const QByteArray &bytes)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_5_15);
    QVariantList values;
    in >> values;
    return in.status() == QDataStream::Ok ? values : QVariantList();
}

// Big-endian bytes as QDataStream writes the given parts, for hand-made wire input.
template <typename... Parts> QByteArray wire(const Parts &...parts)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_15);
    (out << ... << parts);
    return bytes;
}

// The header of one variant on the wire: type id and null flag.
QByteArray head(int type, bool isNull = false)
{
    return wire(quint32(type), qint8(isNull));
}

// One list holding the given wire-form values.
QByteArray listOf(quint32 count, const QByteArray &values)
{
    return wire(count) + values;
}

// A heap copy with nothing after the last byte, so a read past the end trips the sanitizer
// instead of landing on QByteArray's terminating zero.
class ExactBytes
{
public:
    explicit ExactBytes(const QByteArray &bytes)
        : m_data(new char[size_t(qMax(bytes.size(), 1))])
        , m_size(bytes.size())
    {
        std::memcpy(m_data.get(), bytes.constData(), size_t(bytes.size()));
    }
    QByteArray bytes() const { return QByteArray::fromRawData(m_data.get(), m_size); }

private:
    std::unique_ptr<char[]> m_data;
    int m_size;
};

QVariant variantHolding(const QVariant &inner)
{
    return QVariant(QMetaType::QVariant, &inner);
}

// The value with its null flag set, as a sender may set it on any value.
QVariant flaggedNull(QVariant value)
{
    value.data_ptr().is_null = true;
    return value;
}

// ValueListEncoder writes what QDataStream writes, for the list at once and value by value with
// a writer used before; where QDataStream fails to write it, the encoder gives nothing.
void verifyEncodedAsQDataStream(const QVariantList &values)
{
    QByteArray expected;
    QDataStream out(&expected, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_15);
    out << values;
    if (out.status() != QDataStream::Ok)
        expected = QByteArray();

    QCOMPARE(ValueListEncoder::encode(values), expected);
    ValueListEncoder writer;
    writer.write(QStringLiteral("thrown away"));
    writer.take();
    writer.writeCount(quint32(values.size()));
    for (const QVariant &value : values)
        writer.write(value);
    QCOMPARE(writer.take(), expected);

    // Written as Base64 as it goes, after bytes that stay, on every path.
    const QVector<Base64Codec::Path> paths = Base64Codec::availablePaths();
    const auto fastest = qScopeGuard([&] { Base64Codec::setPath(paths.constLast()); });
    for (const Base64Codec::Path path : paths) {
        Base64Codec::setPath(path);
        QByteArray text(5, '#');
        Base64Codec::Writer base64(&text, 3);
        ValueListEncoder streaming(QByteArray(), &base64);
        streaming.writeCount(quint32(values.size()));
        for (const QVariant &value : values)
            streaming.write(value);
        const QByteArray rest = streaming.take();
        QCOMPARE(rest.isNull(), expected.isNull());
        if (!expected.isNull()) {
            base64.append(rest.constData(), rest.size());
            QVERIFY(base64.finish());
            QCOMPARE(text, "###" + expected.toBase64());
        }
    }
}

// The values decoded from `bytes` are those QDataStream reads from them: of the same types,
// equally null, equal to them exactly when QDataStream's own second reading is (NaN, also deep
// inside a container, is equal to nothing; a list compared with itself is equal by identity),
// and written back, by QDataStream and by ValueListEncoder, to the same bytes.
void verifySameValues(const QVariantList &decoded, const QByteArray &bytes)
{
    const QVariantList reference = qtDecoded(bytes);
    const QVariantList again = qtDecoded(bytes);
    QCOMPARE(decoded.size(), reference.size());
    for (int i = 0; i < decoded.size(); ++i) {
        QCOMPARE(decoded.at(i).userType(), reference.at(i).userType());
        QCOMPARE(decoded.at(i).isNull(), reference.at(i).isNull());
        if (again.at(i) == reference.at(i))
            QCOMPARE(decoded.at(i), reference.at(i));
        else
            QVERIFY(!(decoded.at(i) == reference.at(i)));
    }
    const QByteArray written = serialised(reference);
    QCOMPARE(serialised(decoded), written);
    QCOMPARE(ValueListEncoder::encode(decoded), written);
}

// `levels` containers of one kind nested in each other, the outermost list being the first,
// with `innermost` in the deepest.
QVariantList nested(int kind, int levels, const QVariant &innermost = 1)
{
    QVariant value = innermost;
    for (int level = 2; level <= levels; ++level) {
        switch (kind) {
        case QMetaType::QVariantList:
            value = QVariantList { value };
            break;
        case QMetaType::QVariantMap:
            value = QVariantMap { { QStringLiteral("k"), value } };
            break;
        case QMetaType::QVariantHash:
            value = QVariantHash { { QStringLiteral("k"), value } };
            break;
        default:
            value = variantHolding(value);
            break;
        }
    }
    return QVariantList { value };
}

QDateTime sampleDateTime(const QTimeZone &zone)
{
    return QDateTime(QDate(2021, 3, 28), QTime(1, 30, 15, 250), zone);
}

// A list with a value of every readable kind, for the tests that cut or damage its bytes.
QVariantList everyKind()
{
    QMultiMap<QString, QVariant> repeated;
    repeated.insert(QStringLiteral("k"), 1);
    repeated.insert(QStringLiteral("k"), QStringLiteral("two"));
    return QVariantList {
        QVariant(),
        QVariant::fromValue(nullptr),
        true,
        QVariant::fromValue(char(-5)),
        QVariant::fromValue(short(-300)),
        QVariant::fromValue(ushort(65000)),
        -7,
        4000000000u,
        QVariant::fromValue(-70000000000LL),
        QVariant::fromValue(long(-8)),
        QVariant::fromValue(ulong(9)),
        QVariant::fromValue(qulonglong(10)),
        QVariant::fromValue(uchar(200)),
        QVariant::fromValue(1.5f),
        2.25,
        flaggedNull(11),
        QChar(0x416),
        QStringLiteral("Привет"),
        QString(),
        QByteArray("\x00\xff", 2),
        QByteArray(),
        QBitArray(11, true),
        QStringList { QStringLiteral("a"), QString() },
        QVariant::fromValue(QByteArrayList { "x", QByteArray() }),
        QDate(2000, 1, 1),
        QTime(12, 0),
        QDateTime(QDate(2000, 1, 1), QTime(1, 2), Qt::OffsetFromUTC, 3600),
        sampleDateTime(QTimeZone(QByteArrayLiteral("UTC+03:00"))),
        QUrl(QStringLiteral("https://example.org/path?q=1")),
        QLocale(QLocale::Russian, QLocale::Russia),
        QUuid(QStringLiteral("{67c8770b-44f1-410a-ab9a-f9b5446f13ee}")),
        QRectF(0.5, 1.5, 2, 3),
        QLine(1, 2, 3, 4),
        QVariantList { QVariantMap { { QStringLiteral("a"), QVariantList {} } } },
        QVariantHash { { QStringLiteral("h"), QVariantList { 1, 2 } } },
        QVariantMap(repeated),
        variantHolding(QStringLiteral("inner")),
        QColor::fromHsv(120, 200, 100),
        QPolygon(QVector<QPoint> { QPoint(1, -2), QPoint(3, 4) }),
        QKeySequence(Qt::CTRL + Qt::Key_A, Qt::Key_B),
        QVector3D(0.5f, -1, 2),
    };
}

#ifdef CAN_CAP_ADDRESS_SPACE
// `levels` lists nested in one another, each claiming as many values as the bytes after its
// count could hold but holding only the next list; the innermost holds invalid values up to
// about `size` bytes, so any list above it runs out of values.
QByteArray overclaimingLists(int levels, int size)
{
    const int fillers = (size - levels * 4 - (levels - 1) * 5) / 5;
    const int total = levels * 4 + (levels - 1) * 5 + fillers * 5;
    QByteArray bytes;
    for (int level = 1; level <= levels; ++level) {
        bytes += wire(quint32((total - bytes.size() - 4) / 5));
        if (level < levels)
            bytes += head(QMetaType::QVariantList);
    }
    return bytes + head(QMetaType::UnknownType).repeated(fillers);
}

// Runs `work` in a child process whose address space may grow by no more than `headroom`
// bytes; whether it ended normally. Reservations that are never touched show in no resident
// memory figure, only in the address space.
template <typename Work> bool runsWithin(qint64 headroom, Work work)
{
    const pid_t child = fork();
    if (child == 0) {
        qint64 pages = 0;
        if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%lld", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        const rlim_t cap = rlim_t(pages * sysconf(_SC_PAGESIZE) + headroom);
        const rlimit limit { cap, cap };
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(2);
        // QtTest's handler for fatal signals would wait for a watchdog thread the child lacks.
        for (const int fatal : { SIGABRT, SIGSEGV, SIGBUS })
            std::signal(fatal, SIG_DFL);
        try {
            work();
        } catch (...) {
            _exit(3);
        }
        _exit(0);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)
        && WEXITSTATUS(status) == 0;
}
#endif

// Where the decoder accepts, its result must be the one QDataStream gives.
void verifySameAsQDataStream(const QByteArray &bytes)
{
    QVariantList values;
    const bool readable = ValueListDecoder::decode(bytes, &values);
    // Read with the first two values apart, the same list results, split in two.
    QVariant lead[2] = { QStringLiteral("left over"), 1 };
    QVariantList rest;
    int count = -1;
    QCOMPARE(ValueListDecoder::decode(bytes, lead, 2, &rest, &count), readable);
    if (!readable) {
        QVERIFY(values.isEmpty() && rest.isEmpty());
        QVERIFY(!lead[0].isValid() && !lead[1].isValid());
        return;
    }
    QCOMPARE(count, values.size());
    QVariantList joined = rest;
    for (int i = qMin(count, 2) - 1; i >= 0; --i)
        joined.prepend(lead[i]);
    QCOMPARE(serialised(joined), serialised(values));
    verifySameValues(values, bytes);
}

} // namespace

class tst_ValueListDecoder : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void readsWhatQDataStreamWrites_data();
    void readsWhatQDataStreamWrites();
    void readsWireForms_data();
    void readsWireForms();
    void refusesUnreadable_data();
    void refusesUnreadable();
    void boundsNesting_data();
    void boundsNesting();
    void boundsMemory_data();
    void boundsMemory();
    void base64AsQt_data();
    void base64AsQt();
    void refusesEveryCutShortList();
    void damagedBytesMatchQDataStreamOrAreRefused();
    void replaysFuzzCorpus();
};

void tst_ValueListDecoder::initTestCase()
{
    qRegisterMetaTypeStreamOperators<Tally>("Tally");
    qRegisterMetaTypeStreamOperators<Unwritable>("Unwritable");
}

void tst_ValueListDecoder::readsWhatQDataStreamWrites_data()
{
    QTest::addColumn<QVariantList>("values");

    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QMultiMap<QString, QVariant> repeatedMap;
    repeatedMap.insert(QStringLiteral("k"), 1);
    repeatedMap.insert(QStringLiteral("k"), 2);
    repeatedMap.insert(QStringLiteral("a"), 3);
    QMultiHash<QString, QVariant> repeatedHash;
    repeatedHash.insert(QStringLiteral("k"), 1);
    repeatedHash.insert(QStringLiteral("k"), 2);
    for (int i = 0; i < 20; ++i)
        repeatedHash.insert(QString::number(i), i);

    QTest::newRow("empty list") << QVariantList {};
    QTest::newRow("integers") << QVariantList {
        std::numeric_limits<int>::min(),
        std::numeric_limits<uint>::max(),
        QVariant::fromValue(std::numeric_limits<qlonglong>::min()),
        QVariant::fromValue(std::numeric_limits<qulonglong>::max()),
        QVariant::fromValue(std::numeric_limits<short>::min()),
        QVariant::fromValue(std::numeric_limits<ushort>::max()),
        QVariant::fromValue(char('x')),
        QVariant::fromValue(std::numeric_limits<signed char>::min()),
        QVariant::fromValue(std::numeric_limits<uchar>::max()),
        QVariant::fromValue(std::numeric_limits<long>::min()),
        QVariant::fromValue(std::numeric_limits<ulong>::max()),
    };
    QTest::newRow("booleans") << QVariantList { true, false };
    QTest::newRow("floating point") << QVariantList { nan, inf, -inf, -0.0, 1e308,
        QVariant::fromValue(1.5f), QVariant::fromValue(std::numeric_limits<float>::quiet_NaN()) };
    QTest::newRow("null and empty text")
        << QVariantList { QString(), QString(""), QByteArray(), QByteArray(""), QChar() };
    QTest::newRow("unicode text") << QVariantList { QStringLiteral("Ключ \U0001F511"),
        QChar(0x44F) };
    QTest::newRow("bit arrays") << QVariantList { QBitArray(), QBitArray(1, true),
        QBitArray(8, true), QBitArray(9, true), QBitArray(70, false) };
    QTest::newRow("string and byte-array lists") << QVariantList {
        QStringList {},
        QStringList { QStringLiteral("a"), QString(), QString("") },
        QVariant::fromValue(QByteArrayList { "a", QByteArray(), QByteArray("") }),
    };
    QTest::newRow("dates and times") << QVariantList {
        QDate(2024, 2, 29),
        QDate(),
        QDate(-4713, 1, 2),
        QTime(23, 59, 59, 999),
        QTime(),
        QDateTime(),
        QDateTime(QDate(2024, 2, 29), QTime(10, 0), Qt::UTC),
        QDateTime(QDate(2024, 2, 29), QTime(10, 0), Qt::LocalTime),
        QDateTime(QDate(2024, 2, 29), QTime(10, 0), Qt::OffsetFromUTC, -(5 * 3600 + 1800)),
        QDateTime(QDate(2024, 2, 29), QTime(), Qt::UTC),
    };
    QTest::newRow("date-times in zones") << QVariantList {
        sampleDateTime(QTimeZone(QByteArrayLiteral("UTC+03:00"))),
        sampleDateTime(QTimeZone(3600)),
        sampleDateTime(QTimeZone(-(5 * 3600 + 30 * 60))),
        sampleDateTime(QTimeZone(QByteArrayLiteral("UTC"))),
    };
    QTest::newRow("url, locale and uuid") << QVariantList {
        QUrl(QStringLiteral("https://user@example.org:8080/a%20b?c=d#e")),
        QUrl(),
        QLocale(QLocale::Russian, QLocale::Russia),
        QLocale::c(),
        QUuid(QStringLiteral("{67c8770b-44f1-410a-ab9a-f9b5446f13ee}")),
        QUuid(),
    };
    QTest::newRow("geometry") << QVariantList {
        QPoint(-1, 2),
        QPointF(0.5, -1e10),
        QSize(3, -4),
        QSizeF(0.25, 8),
        QRect(1, 2, 3, 4),
        QRectF(1.5, 2.5, 3.5, 4.5),
        QLine(1, 2, 3, 4),
        QLineF(0.5, 1, 2, 3.5),
    };
    QTest::newRow("invalid and nullptr")
        << QVariantList { QVariant(), QVariant::fromValue(nullptr), QVariant(QVariant::String) };
    QTest::newRow("nested containers") << QVariantList {
        QVariantList { 1, QVariantList { QStringLiteral("deep") } },
        QVariantMap {
            { QStringLiteral("list"), QVariantList { 2.5 } }, { QString(), QVariantHash {} } },
        QVariantHash { { QStringLiteral("map"), QVariantMap { { QStringLiteral("x"), 1 } } } },
        variantHolding(QVariantList { 1, 2 }),
        variantHolding(variantHolding(3)),
    };
    QTest::newRow("repeated keys")
        << QVariantList { QVariantMap(repeatedMap), QVariantHash(repeatedHash) };

    QTest::newRow("negative numbers") << QVariantList { -1, QVariant::fromValue(short(-1)),
        QVariant::fromValue(char(-1)), QVariant::fromValue(long(-1)), -0.5,
        QVariant::fromValue(-0.0f) };
    using Float = std::numeric_limits<float>;
    QTest::newRow("edges of float and double") << QVariantList {
        QVariant::fromValue(Float::infinity()), QVariant::fromValue(-Float::infinity()),
        QVariant::fromValue(Float::max()), QVariant::fromValue(Float::denorm_min()),
        QVariant::fromValue(Float::signaling_NaN()), std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::signaling_NaN(), -nan };
    QTest::newRow("null-flagged values") << QVariantList { QVariant(QMetaType::Int, nullptr),
        QVariant(QVariant::ByteArray), flaggedNull(5), flaggedNull(true),
        flaggedNull(QVariant::fromValue(char('c'))), flaggedNull(QVariant::fromValue(ulong(6))),
        flaggedNull(QVariant::fromValue(2.5f)), flaggedNull(QChar(0x41)),
        flaggedNull(QStringLiteral("text")), flaggedNull(QByteArray("")),
        flaggedNull(QVariant::fromValue(nullptr)), flaggedNull(QVariantList { flaggedNull(1) }),
        flaggedNull(QVariantMap { { QStringLiteral("k"), flaggedNull(2) } }),
        flaggedNull(QVariantHash {}), flaggedNull(variantHolding(flaggedNull(3))),
        flaggedNull(QDate(2024, 1, 1)) };
    QVariant invalidNotNull;
    invalidNotNull.data_ptr().is_null = false;
    QTest::newRow("invalid value flagged not null") << QVariantList { invalidNotNull };
    QTest::newRow("surrogates and control characters") << QVariantList {
        QString(QString(QChar(0xdc00)) + QChar(0xd83d)), QChar(0xdfff), QChar(0xffff), QChar(0),
        QString(3, QChar(0)), QStringLiteral("\U00010000\U0010FFFF") };
    QByteArray everyByte;
    for (int i = 0; i < 256; ++i)
        everyByte.append(char(i));
    QTest::newRow("long text and every byte")
        << QVariantList { QString(70000, QChar(0x263a)), everyByte.repeated(300) };
    // Long strings go into Base64 straight from their characters, after 0, 1 or 2 bytes of a
    // group and between other values.
    QTest::newRow("long strings at every place in a group") << QVariantList { QString(2048, 'a'),
        true, QString(5001, QChar(0xd83d)), QVariantMap { { QString(3000, 'k'), QString(2049, 'v') } },
        QStringList { QString(4097, 'x'), QString(10, 'y') }, QString(2047, QChar(0x263a)) };
    QTest::newRow("common and streamed values interleaved") << QVariantList { 1,
        QDateTime(QDate(2024, 2, 29), QTime(10, 0), Qt::UTC), QStringLiteral("between"),
        QStringList { QStringLiteral("a") }, QByteArray("bytes"), QUrl(QStringLiteral("a:b")),
        QVariantList { QDate(2000, 1, 1), 2.5, QVariantMap { { QString(), QTime(1, 2) } } },
        QVariant() };
    QTest::newRow("NaN deep inside containers") << QVariantList {
        QVariantList { QVariantList { QLineF(0, 0, 1, nan) }, nan },
        QVariantMap { { QStringLiteral("n"), QVariant::fromValue(float(nan)) } },
    };
    QTest::newRow("custom type") << QVariantList { 1, QVariant::fromValue(Tally { 7 }) };
    QTest::newRow("custom type whose writing fails")
        << QVariantList { 1, QVariant::fromValue(Unwritable {}), QStringLiteral("after") };
    QTest::newRow("plain types of Qt GUI") << QVariantList { QColor(10, 20, 30, 40),
        QColor::fromCmyk(1, 2, 3, 4), QColor::fromHsl(300, 50, 60), QColor::fromRgbF(1.5, -0.25, 0),
        QColor(), flaggedNull(QColor(Qt::red)), QPolygon(),
        QPolygonF(QVector<QPointF> { QPointF(0.5, nan) }), QTransform(1, 2, 3, 4, 5, 6, 7, 8, 9),
        QMatrix4x4(QTransform().rotate(30)), QVector2D(1.5f, -2), QVector4D(1, 2, 3, 4),
        QQuaternion(1, 2, 3, 4), QKeySequence(),
        QKeySequence(Qt::Key_A, Qt::Key_B, Qt::Key_C, Qt::ALT + Qt::Key_D) };
}

// Both ways: ValueListEncoder writes the values as QDataStream does, and the decoder reads
// QDataStream's bytes as QDataStream does.
void tst_ValueListDecoder::readsWhatQDataStreamWrites()
{
    QFETCH(QVariantList, values);
    const QByteArray bytes = serialised(values);

    verifyEncodedAsQDataStream(values);
    if (QTest::currentTestFailed())
        return;

    // The decoder reads no custom types.
    const bool readable = std::none_of(values.cbegin(), values.cend(),
        [](const QVariant &value) { return value.userType() >= QMetaType::User; });
    QVariantList decoded;
    QCOMPARE(ValueListDecoder::decode(ExactBytes(bytes).bytes(), &decoded), readable);
    // Also as Base64, decoded as it is read, on every path.
    const QVector<Base64Codec::Path> paths = Base64Codec::availablePaths();
    const auto fastest = qScopeGuard([&] { Base64Codec::setPath(paths.constLast()); });
    for (const Base64Codec::Path path : paths) {
        Base64Codec::setPath(path);
        QVariantList fromText;
        QCOMPARE(ValueListDecoder::decodeBase64(
                     bytes.toBase64(), Base64Codec::Mode::Strict, &fromText),
            readable);
        QCOMPARE(serialised(fromText), serialised(decoded));
    }
    if (!readable)
        return;

    QCOMPARE(decoded.size(), values.size());
    for (int i = 0; i < values.size(); ++i)
        QCOMPARE(decoded.at(i).userType(), values.at(i).userType());
    verifySameValues(decoded, bytes);
}

void tst_ValueListDecoder::readsWireForms_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("firstType");
    QTest::addColumn<bool>("firstIsNull");

    QTest::newRow("type given by name")
        << listOf(1, head(QMetaType::User) + wire(QByteArray("QString"), QStringLiteral("text")))
        << int(QMetaType::QString) << false;
    const QByteArray listByName = head(QMetaType::User) + wire(QByteArray("QVariantList"))
        + wire(quint32(1)) + head(QMetaType::Int) + wire(qint32(5));
    QTest::newRow("container given by name")
        << listOf(1, listByName) << int(QMetaType::QVariantList) << false;
    QTest::newRow("list flagged null")
        << listOf(1, head(QMetaType::QVariantList, true) + wire(quint32(0)))
        << int(QMetaType::QVariantList) << true;
    QTest::newRow("map flagged null")
        << listOf(1, head(QMetaType::QVariantMap, true) + wire(quint32(0)))
        << int(QMetaType::QVariantMap) << true;
    QTest::newRow("variant flagged null")
        << listOf(1, head(QMetaType::QVariant, true) + head(QMetaType::Int) + wire(qint32(1)))
        << int(QMetaType::QVariant) << false;
    QTest::newRow("text flagged null")
        << listOf(1, head(QMetaType::QString, true) + wire(QStringLiteral("abc")))
        << int(QMetaType::QString) << false;
    QTest::newRow("list flagged with the lowest bit clear")
        << listOf(1, wire(quint32(QMetaType::QVariantList), quint8(0xfe), quint32(0)))
        << int(QMetaType::QVariantList) << false;
    QTest::newRow("invalid value flagged not null")
        << listOf(1, head(QMetaType::UnknownType)) << int(QMetaType::UnknownType) << true;
    QTest::newRow("boolean byte other than one")
        << listOf(1, head(QMetaType::Bool) + wire(qint8(2))) << int(QMetaType::Bool) << false;
    QTest::newRow("trailing bytes")
        << listOf(1, head(QMetaType::Int) + wire(qint32(7))) + QByteArray("\xff\xff\xff", 3)
        << int(QMetaType::Int) << false;
    const QByteArray repeatedKeys = head(QMetaType::QVariantMap) + wire(quint32(2))
        + wire(QStringLiteral("k")) + head(QMetaType::Int) + wire(qint32(1))
        + wire(QStringLiteral("k")) + head(QMetaType::Int) + wire(qint32(2));
    QTest::newRow("repeated map keys")
        << listOf(1, repeatedKeys) << int(QMetaType::QVariantMap) << false;

    QTest::newRow("number flagged with the lowest bit clear")
        << listOf(1, wire(quint32(QMetaType::Int), quint8(0xfe), qint32(5)))
        << int(QMetaType::Int) << false;
    QTest::newRow("number flagged with other bits set")
        << listOf(1, wire(quint32(QMetaType::Double), quint8(0x83), 1.5))
        << int(QMetaType::Double) << true;
    QTest::newRow("empty text flagged null")
        << listOf(1, head(QMetaType::QString, true) + wire(quint32(0)))
        << int(QMetaType::QString) << false;
    QTest::newRow("empty bytes flagged null")
        << listOf(1, head(QMetaType::QByteArray, true) + wire(quint32(0)))
        << int(QMetaType::QByteArray) << false;
    QTest::newRow("nullptr flagged not null")
        << listOf(1, head(QMetaType::Nullptr)) << int(QMetaType::Nullptr) << true;
    QTest::newRow("long beyond 32 bits")
        << listOf(1, head(QMetaType::Long) + wire(qint64(-(qint64(1) << 40) - 3)))
        << int(QMetaType::Long) << false;
    QTest::newRow("float beyond float's range")
        << listOf(1, head(QMetaType::Float) + wire(1e300)) << int(QMetaType::Float) << false;
    QTest::newRow("float of a signalling NaN")
        << listOf(1, head(QMetaType::Float) + wire(quint64(0x7ff0000000000001)))
        << int(QMetaType::Float) << false;
    QTest::newRow("text given by name and flagged null")
        << listOf(1, head(QMetaType::User, true) + wire(QByteArray("QString"), quint32(0xffffffff)))
        << int(QMetaType::QString) << true;

    QTest::newRow("colour given by name")
        << listOf(1, head(QMetaType::User) + wire(QByteArray("QColor")) + QByteArray(11, '\1'))
        << int(QMetaType::QColor) << false;
    const QByteArray dateTime = head(QMetaType::QDateTime) + wire(qint64(2459000), quint32(0));
    const QByteArray zoneById = dateTime + wire(qint8(Qt::TimeZone), QStringLiteral("UTC+03:00"));
    QTest::newRow("zone by its id") << listOf(1, zoneById) << int(QMetaType::QDateTime) << false;
    const QByteArray customZone = dateTime + wire(qint8(Qt::TimeZone))
        + wire(QStringLiteral("OffsetFromUtc"), QStringLiteral("UTC"), qint32(99))
        + wire(QStringLiteral("n"), QStringLiteral("a"), qint32(5), QString());
    QTest::newRow("custom zone naming a known id")
        << listOf(1, customZone) << int(QMetaType::QDateTime) << false;
}

void tst_ValueListDecoder::readsWireForms()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, firstType);
    QFETCH(bool, firstIsNull);

    QVariantList decoded;
    QVERIFY(ValueListDecoder::decode(ExactBytes(bytes).bytes(), &decoded));

    QCOMPARE(decoded.size(), 1);
    QCOMPARE(decoded.first().userType(), firstType);
    QCOMPARE(decoded.first().isNull(), firstIsNull);
    verifySameValues(decoded, bytes);
}

void tst_ValueListDecoder::refusesUnreadable_data()
{
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray anInt = head(QMetaType::Int) + wire(qint32(1));
    const auto dateTime = [](qint64 julianDay, qint8 timeSpec, const QByteArray &rest) {
        return listOf(1, head(QMetaType::QDateTime) + wire(julianDay, quint32(0), timeSpec) + rest);
    };
    const auto byName = [](const char *name, const QByteArray &value) {
        return listOf(1, head(QMetaType::User) + wire(QByteArray(name)) + value);
    };

    QTest::newRow("no bytes") << QByteArray();
    QTest::newRow("count cut short") << QByteArray("\0\0", 2);
    QTest::newRow("count past the bytes") << wire(quint32(0xffffffff));
    QTest::newRow("count past the bytes with a value") << listOf(0x7fffffff, anInt);
    QTest::newRow("one value short") << listOf(2, anInt);
    QTest::newRow("value cut short") << listOf(1, head(QMetaType::Int) + QByteArray("\0\0", 2));
    QTest::newRow("null flag missing") << listOf(1, wire(quint32(QMetaType::Int)));

    QTest::newRow("text length past the bytes")
        << listOf(1, head(QMetaType::QString) + wire(quint32(0xfffffff0)));
    QTest::newRow("text of odd length")
        << listOf(1, head(QMetaType::QString) + wire(quint32(3)) + QByteArray("abc"));
    QTest::newRow("bytes length past the bytes")
        << listOf(1, head(QMetaType::QByteArray) + wire(quint32(0x7fffffff)) + QByteArray("ab"));
    QTest::newRow("bit count overflowing QBitArray")
        << listOf(1, head(QMetaType::QBitArray) + wire(quint32(0xfffffffa)));
    QTest::newRow("bit padding set")
        << listOf(1, head(QMetaType::QBitArray) + wire(quint32(1), quint8(0xff)));
    QTest::newRow("string list count past the bytes")
        << listOf(1, head(QMetaType::QStringList) + wire(quint32(0x40000000), QString()));
    QTest::newRow("string list item cut short") << listOf(
        1, head(QMetaType::QStringList) + wire(quint32(1), quint32(8)) + QByteArray(4, 'a'));
    QTest::newRow("byte-array list count past the bytes")
        << listOf(1, head(QMetaType::QByteArrayList) + wire(quint32(0xffffffff)));
    QTest::newRow("map count past the bytes")
        << listOf(1, head(QMetaType::QVariantMap) + wire(quint32(0x10000000)));
    QTest::newRow("hash count past the bytes")
        << listOf(1, head(QMetaType::QVariantHash) + wire(quint32(0xffffffff)) + anInt);
    QTest::newRow("map key cut short")
        << listOf(1, head(QMetaType::QVariantMap) + wire(quint32(1), quint32(200)) + anInt);
    QTest::newRow("map value missing") << listOf(
        1, head(QMetaType::QVariantMap) + wire(quint32(1), QStringLiteral("k"), qint32(0)));
    QTest::newRow("variant holding nothing") << listOf(1, head(QMetaType::QVariant));
    QTest::newRow("map key of odd length") << listOf(1,
        head(QMetaType::QVariantMap) + wire(quint32(1), quint32(1)) + QByteArray("a") + anInt);

    QTest::newRow("unknown type id") << listOf(1, head(1000) + wire(qint32(0)));
    QTest::newRow("type id past int") << listOf(1, head(-1) + wire(qint32(0)));
    QTest::newRow("type id of a registered custom type")
        << listOf(1, head(qMetaTypeId<Velmor::Command::Message>()) + wire(qint32(0)));
    QTest::newRow("type name unknown") << byName("NoSuchType", wire(qint32(0)));
    QTest::newRow("type name empty") << byName("", wire(qint32(0)));
    QTest::newRow("type name null")
        << listOf(1, head(QMetaType::User) + wire(quint32(0xffffffff), qint32(0)));
    QTest::newRow("type name of a type without stream operators")
        << byName("Velmor::Command::Message", wire(qint32(0)));
    QTest::newRow("type name of a refused type") << byName("QEasingCurve", QByteArray(9, '\0'));
    QTest::newRow("type name cut short")
        << listOf(1, head(QMetaType::User) + wire(quint32(100)) + QByteArray("QStr"));
    QTest::newRow("easing curve, which reads a function pointer")
        << listOf(1, head(QMetaType::QEasingCurve) + wire(quint8(0), quint64(0x41414141)));
    QTest::newRow("void pointer") << listOf(1, head(QMetaType::VoidStar) + wire(quint64(0)));
    QTest::newRow("QObject pointer") << listOf(1, head(QMetaType::QObjectStar) + wire(quint64(0)));
    QTest::newRow("void") << listOf(1, head(QMetaType::Void));
    QTest::newRow("model index") << listOf(1, head(QMetaType::QModelIndex));
    QTest::newRow("regular expression")
        << listOf(1, head(QMetaType::QRegularExpression) + wire(QStringLiteral("a+"), quint32(0)));
    QTest::newRow("json value") << listOf(1, head(QMetaType::QJsonValue) + wire(quint8(0)));
    QTest::newRow("cbor value") << listOf(
        1, head(QMetaType::QCborValue) + wire(QByteArray("\xf6")));
    QTest::newRow("colour cut short") << listOf(1, head(QMetaType::QColor) + QByteArray(10, '\0'));
    QTest::newRow("colour of a model QColor does not name")
        << listOf(1, head(QMetaType::QColor) + wire(qint8(6)) + QByteArray(10, '\0'));
    QTest::newRow("key sequence of five keys")
        << listOf(1, head(QMetaType::QKeySequence) + wire(quint32(5)) + QByteArray(20, '\0'));
    QTest::newRow("polygon count past the bytes")
        << listOf(1, head(QMetaType::QPolygonF) + wire(quint32(0x10000000)) + QByteArray(16, '\0'));
    QTest::newRow("image") << listOf(1, head(QMetaType::QImage) + wire(qint32(0)));

    QTest::newRow("date-time kind unknown") << dateTime(2459000, 4, QByteArray());
    QTest::newRow("date-time kind negative") << dateTime(2459000, -1, QByteArray());
    QTest::newRow("date-time offset past int milliseconds")
        << dateTime(2459000, Qt::OffsetFromUTC, wire(qint32(2147484)));
    QTest::newRow("date-time offset missing") << dateTime(2459000, Qt::OffsetFromUTC, QByteArray());
    QTest::newRow("date past QDateTime's range") << dateTime(700000000000LL, Qt::UTC, QByteArray());
    QTest::newRow("date before QDateTime's range")
        << dateTime(-700000000000LL, Qt::UTC, QByteArray());
    QTest::newRow("zone id naming a path")
        << dateTime(2459000, Qt::TimeZone, wire(QStringLiteral("../../../../etc/passwd")));
    QTest::newRow("zone id unknown")
        << dateTime(2459000, Qt::TimeZone, wire(QStringLiteral("Nowhere/Atlantis")));
    QTest::newRow("zone id empty") << dateTime(2459000, Qt::TimeZone, wire(QString()));
    QTest::newRow("zone offset past fourteen hours")
        << dateTime(2459000, Qt::TimeZone, wire(QStringLiteral("UTC+15:00")));
    QTest::newRow("zone offset with a bad digit")
        << dateTime(2459000, Qt::TimeZone, wire(QStringLiteral("UTC+0/:00")));
    QTest::newRow("custom zone naming a path") << dateTime(2459000, Qt::TimeZone,
        wire(QStringLiteral("OffsetFromUtc"), QStringLiteral("../../../dev/zero"), qint32(0),
            QString(), QString(), qint32(0), QString()));
    QTest::newRow("custom zone cut short") << dateTime(2459000, Qt::TimeZone,
        wire(QStringLiteral("OffsetFromUtc"), QStringLiteral("UTC"), qint32(0)));
}

void tst_ValueListDecoder::refusesUnreadable()
{
    QFETCH(QByteArray, bytes);

    QVariantList values { 42, QStringLiteral("left over") };
    // The remote side must not be able to fill the log by sending bad values.
    const MessageLog log;
    QVERIFY(!ValueListDecoder::decode(ExactBytes(bytes).bytes(), &values));
    QVERIFY(values.isEmpty());
    QCOMPARE(log.messages, QStringList());
}

void tst_ValueListDecoder::boundsNesting_data()
{
    QTest::addColumn<QVariantList>("values");
    QTest::addColumn<bool>("readable");

    const int limit = ValueListDecoder::MaxDepth;
    const struct
    {
        const char *name;
        int kind;
    } kinds[] = {
        { "lists", QMetaType::QVariantList },
        { "maps", QMetaType::QVariantMap },
        { "hashes", QMetaType::QVariantHash },
        { "variants", QMetaType::QVariant },
    };
    for (const auto &kind : kinds) {
        QTest::addRow("%s at the limit", kind.name) << nested(kind.kind, limit) << true;
        QTest::addRow("%s past the limit", kind.name) << nested(kind.kind, limit + 1) << false;
    }

    QVariant mixed = 1;
    for (int level = 2; level <= limit + 1; ++level) {
        if (level % 2 == 0)
            mixed = QVariantMap { { QStringLiteral("m"), mixed } };
        else
            mixed = QVariantList { mixed };
    }
    QTest::newRow("mixed past the limit") << QVariantList { mixed } << false;
    QTest::newRow("string list in a list at the limit")
        << nested(QMetaType::QVariantList, limit, QStringList { QStringLiteral("leaf") }) << true;
}

void tst_ValueListDecoder::boundsNesting()
{
    QFETCH(QVariantList, values);
    QFETCH(bool, readable);
    const QByteArray bytes = serialised(values);

    QVariantList decoded;
    QCOMPARE(ValueListDecoder::decode(bytes, &decoded), readable);
    if (readable)
        QCOMPARE(serialised(decoded), bytes);
    else
        QVERIFY(decoded.isEmpty());
}

void tst_ValueListDecoder::boundsMemory_data()
{
    QTest::addColumn<int>("levels");
    QTest::newRow("one list") << 1;
    QTest::newRow("lists nested to the limit") << ValueListDecoder::MaxDepth;
}

// Each level's claim fits the bytes left, but what all levels reserve together must not grow
// with the nesting: a 4 MiB input may cost tens of MiB, never hundreds.
void tst_ValueListDecoder::boundsMemory()
{
#ifdef CAN_CAP_ADDRESS_SPACE
    QFETCH(int, levels);
    const int size = 4 << 20;
    const QByteArray bytes = overclaimingLists(levels, size);
    QVERIFY(runsWithin(48 * qint64(size), [&bytes] {
        QVariantList values;
        ValueListDecoder::decode(bytes, &values);
    }));
#else
    QSKIP("needs an address space that can be capped: Linux without AddressSanitizer");
#endif
}

void tst_ValueListDecoder::base64AsQt_data()
{
    QTest::addColumn<Base64Codec::Path>("path");
    QTest::addColumn<QByteArray>("text");
    // Every case on every path of the codec; those this processor lacks are skipped.
    const std::pair<Base64Codec::Path, const char *> paths[] = {
        { Base64Codec::Path::Scalar, "scalar" },
        { Base64Codec::Path::Ssse3, "SSSE3" },
        { Base64Codec::Path::Avx2, "AVX2" },
        { Base64Codec::Path::Avx512Vbmi, "AVX-512 VBMI" },
    };
    const auto row = [&paths](const QString &name, const QByteArray &text) {
        for (const auto &path : paths)
            QTest::addRow("%s, %s", qPrintable(name), path.second) << path.first << text;
    };
    QByteArray everyByte;
    for (int i = 0; i < 256; ++i)
        everyByte.append(char(i));
    for (int size = 0; size <= 5; ++size)
        row(QString::asprintf("%d bytes", size), everyByte.right(size).toBase64());
    row(QStringLiteral("every byte, 64 KiB"), everyByte.repeated(256).toBase64());
    row(QStringLiteral("unpadded"), QByteArray("QUJD REU"));
    row(QStringLiteral("missing padding"), QByteArray("QUJDRA"));
    row(QStringLiteral("blanks and line breaks"), QByteArray("QUJD\nREVG R0g=\r\n"));
    row(QStringLiteral("padding inside"), QByteArray("QQ==QUI="));
    row(QStringLiteral("padding only"), QByteArray("===="));
    row(QStringLiteral("three padding characters"), QByteArray("Q==="));
    row(QStringLiteral("URL alphabet"), QByteArray("-_-_"));
    row(QStringLiteral("stray bits after the last byte"), QByteArray("QR=="));
    row(QStringLiteral("bytes above ASCII"), QByteArray("QUJD\xc3\xa9RA=="));

    // Lengths through every remainder of the codec's rounds: eight groups of bytes a round when
    // encoding, eight characters a round, four rounds at a time, when decoding; and of the
    // vector loops' rounds, up to 48 bytes and 64 characters, which need room past their end,
    // from the length on which they are used.
    QByteArray mixed;
    for (int i = 0; i < 256; ++i)
        mixed.append(char(i * 167 + (i >> 3) * 29 + 11));
    for (int size = 6; size <= mixed.size(); ++size)
        row(QString::asprintf("%d mixed bytes", size), mixed.left(size).toBase64());
    // Something outside the alphabet, padding included, at every place of a text that takes
    // every path of the decoder: wherever it is, Qt has the last word.
    const QByteArray foreign("*,-.:@[`{\x7f\x80\xc3\xff \n=\0", 17);
    const QByteArray text = mixed.left(118).toBase64();
    for (int at = 0; at < text.size(); ++at) {
        QByteArray spoilt = text;
        spoilt[at] = foreign.at(at % foreign.size());
        row(QString::asprintf("0x%02x at %d of %d", quint8(spoilt.at(at)), at, int(text.size())),
            spoilt);
    }
    // The vector loops look at what they found only once they are done.
    const QByteArray longText = everyByte.repeated(16).toBase64();
    for (const int at : { 1, int(longText.size()) / 2, int(longText.size()) - 30 }) {
        QByteArray spoilt = longText;
        spoilt[at] = foreign.at(at % foreign.size());
        row(QString::asprintf("0x%02x at %d of %d", quint8(spoilt.at(at)), at, int(spoilt.size())),
            spoilt);
    }
    // A long string is decoded straight into its memory from a group an even number of bytes
    // into it: after leads of every length, whole and spoilt inside the string.
    for (const QVariant &lead : { QVariant(), QVariant(true), QVariant(short(1)) }) {
        const QVariantList values { lead, QString(4000, QChar(0x263a)), 5 };
        const QByteArray list = serialised(values).toBase64();
        const QString name = QString::fromLatin1(lead.typeName());
        row(QStringLiteral("long string after %1").arg(name), list);
        for (const int at : { 24, int(list.size()) / 2, int(list.size()) - 40 }) {
            QByteArray spoilt = list;
            spoilt[at] = '*';
            row(QStringLiteral("long string after %1, spoilt at %2").arg(name).arg(at), spoilt);
        }
    }
    QByteArray strayBits = text;
    strayBits[strayBits.size() - 3] = '/';
    row(QStringLiteral("stray bits after a long text's last byte"), strayBits);
    strayBits = mixed.left(71).toBase64();
    strayBits[strayBits.size() - 2] = '/';
    row(QStringLiteral("stray bits after a long text's last two bytes"), strayBits);
}

// The codec answers as Qt would, also for the text it leaves to Qt.
void tst_ValueListDecoder::base64AsQt()
{
    QFETCH(Base64Codec::Path, path);
    QFETCH(QByteArray, text);
    if (!Base64Codec::setPath(path))
        QSKIP("this processor lacks the instructions");
    const auto fastest
        = qScopeGuard([] { Base64Codec::setPath(Base64Codec::availablePaths().constLast()); });
    QCOMPARE(Base64Codec::decode(text), QByteArray::fromBase64(text));
    const auto strict = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    QByteArray bytes("unchanged");
    QCOMPARE(Base64Codec::decodeStrict(text, &bytes),
        strict.decodingStatus == QByteArray::Base64DecodingStatus::Ok);
    if (strict.decodingStatus == QByteArray::Base64DecodingStatus::Ok)
        QCOMPARE(bytes, strict.decoded);
    const QByteArray decoded = QByteArray::fromBase64(text);
    QCOMPARE(Base64Codec::encode(decoded), decoded.toBase64());

    // A value list in the text is the one in the bytes decoded apart, though canonical text is
    // decoded as the list is read.
    QVariantList fromText;
    QVariantList fromBytes;
    QCOMPARE(ValueListDecoder::decodeBase64(text, Base64Codec::Mode::Lenient, &fromText),
        ValueListDecoder::decode(decoded, &fromBytes));
    QCOMPARE(serialised(fromText), serialised(fromBytes));
    const bool strictRead = strict.decodingStatus == QByteArray::Base64DecodingStatus::Ok
        && ValueListDecoder::decode(strict.decoded, &fromBytes);
    QCOMPARE(ValueListDecoder::decodeBase64(text, Base64Codec::Mode::Strict, &fromText), strictRead);
    if (strictRead)
        QCOMPARE(serialised(fromText), serialised(fromBytes));
}

void tst_ValueListDecoder::refusesEveryCutShortList()
{
    const QByteArray bytes = serialised(everyKind());
    QVariantList values;
    QVERIFY(ValueListDecoder::decode(bytes, &values));

    for (int size = 0; size < bytes.size(); ++size) {
        values = { 1 };
        if (ValueListDecoder::decode(ExactBytes(bytes.left(size)).bytes(), &values))
            QFAIL(qPrintable(QStringLiteral("accepted the first %1 bytes").arg(size)));
        QVERIFY(values.isEmpty());
    }
}

void tst_ValueListDecoder::damagedBytesMatchQDataStreamOrAreRefused()
{
    const QByteArray bytes = serialised(everyKind());
    const char replacements[] = { '\x00', '\x01', '\x7f', '\x80', '\xff' };
    for (int i = 0; i < bytes.size(); ++i) {
        for (const char replacement : replacements) {
            QByteArray damaged = bytes;
            damaged[i] = replacement;
            verifySameAsQDataStream(ExactBytes(damaged).bytes());
            if (QTest::currentTestFailed())
                QFAIL(qPrintable(QStringLiteral("byte %1 set to %2").arg(i).arg(int(replacement))));
        }
    }
}

void tst_ValueListDecoder::replaysFuzzCorpus()
{
    const QString folder = QFINDTESTDATA("../fuzz/corpus/valuelistdecoder");
    QVERIFY(!folder.isEmpty());
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files);
    QVERIFY(!files.isEmpty());
    for (const QFileInfo &info : files) {
        QFile file(info.filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        verifySameAsQDataStream(ExactBytes(file.readAll()).bytes());
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(info.fileName()));
    }
}

QTEST_GUILESS_MAIN(tst_ValueListDecoder)
#include "tst_valuelistdecoder.moc"
