#include "commandcatalogue.h"
#include "notificationcatalogue.h"
#include "resultcodetable.h"

#include <QtTest/QtTest>

#include <algorithm>

namespace {

QList<int> typeCodes(const QList<QVariant::Type> &types)
{
    QList<int> codes;
    for (QVariant::Type type : types)
        codes.append(int(type));
    return codes;
}

template <typename Hash> QList<int> sortedKeys(const Hash &hash)
{
    QList<int> keys = hash.keys();
    std::sort(keys.begin(), keys.end());
    return keys;
}

const QList<int> CommandCodes { 0x1100, 0x1101, 0x1102, 0x1103, 0x1104, 0x1105 };
const QList<int> AnswerCodes { 0x1100, 0x1101, 0x1102, 0x1103, 0x1104 };
const QList<int> ResultCodes { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 17, 0x1200, 0x1209, 0x120A,
    0x120B };

} // namespace

class tst_Protocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void commandEntries_data();
    void commandEntries();
    void commandTablesHoldExactlyTheCommands();

    void answerEntries_data();
    void answerEntries();
    void answerTablesHoldExactlyTheAnswers();
    void onlySetEventGoesUnanswered();

    void commandCode_data();
    void commandCode();
    void answerParamNamesLookup_data();
    void answerParamNamesLookup();

    void parseTypeList_data();
    void parseTypeList();

    void resultCodes_data();
    void resultCodes();
    void resultTablesHoldExactlyTheCodes();
    void unknownResultCodes_data();
    void unknownResultCodes();
    void sharedResultNameKeepsDistinctTexts();

    void notificationEntry();
    void notificationTablesHoldOneEntry();
    void unknownNotificationCodes_data();
    void unknownNotificationCodes();
};

void tst_Protocol::commandEntries_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QStringList>("paramNames");
    QTest::addColumn<QList<int>>("paramTypes");
    QTest::addColumn<int>("paramCount");

    const QStringList oneEmptyName { QString() };
    QTest::newRow("GETINFO") << 0x1100 << QStringLiteral("GETINFO") << QString() << oneEmptyName
                             << QList<int> { QVariant::Invalid } << 0;
    QTest::newRow("GETMETAINFO") << 0x1101 << QStringLiteral("GETMETAINFO") << QString()
                                 << oneEmptyName << QList<int> { QVariant::Invalid } << 0;
    QTest::newRow("INVOKE") << 0x1102 << QStringLiteral("INVOKE") << QString() << oneEmptyName
                            << QList<int> { QVariant::ByteArray } << 1;
    QTest::newRow("SIGCONNECT") << 0x1103 << QStringLiteral("SIGCONNECT") << QString()
                                << oneEmptyName << QList<int> { QVariant::ByteArray } << 1;
    QTest::newRow("SIGDISCONNECT") << 0x1104 << QStringLiteral("SIGDISCONNECT") << QString()
                                   << oneEmptyName << QList<int> { QVariant::ByteArray } << 1;
    QTest::newRow("SET_EVENT") << 0x1105 << QStringLiteral("SET_EVENT")
                               << QStringLiteral("установить маску событий")
                               << QStringList { QStringLiteral("маска") }
                               << QList<int> { QVariant::UInt } << 1;
}

void tst_Protocol::commandEntries()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    QFETCH(QString, description);
    QFETCH(QStringList, paramNames);
    QFETCH(QList<int>, paramTypes);
    QFETCH(int, paramCount);

    QCOMPARE(CommandCatalogue::commandNames().value(code), name);
    // An empty description is still an entry, not a missing one.
    QVERIFY(CommandCatalogue::commandDescriptions().contains(code));
    QCOMPARE(CommandCatalogue::commandDescriptions().value(code), description);
    QVERIFY(CommandCatalogue::commandParamNames().contains(code));
    QCOMPARE(CommandCatalogue::commandParamNames().value(code), paramNames);
    QVERIFY(CommandCatalogue::commandParamTypes().contains(code));
    QCOMPARE(typeCodes(CommandCatalogue::commandParamTypes().value(code)), paramTypes);
    QVERIFY(CommandCatalogue::commandParamCount().contains(code));
    QCOMPARE(CommandCatalogue::commandParamCount().value(code), paramCount);
}

void tst_Protocol::commandTablesHoldExactlyTheCommands()
{
    QCOMPARE(sortedKeys(CommandCatalogue::commandNames()), CommandCodes);
    QCOMPARE(sortedKeys(CommandCatalogue::commandDescriptions()), CommandCodes);
    QCOMPARE(sortedKeys(CommandCatalogue::commandParamNames()), CommandCodes);
    QCOMPARE(sortedKeys(CommandCatalogue::commandParamTypes()), CommandCodes);
    QCOMPARE(sortedKeys(CommandCatalogue::commandParamCount()), CommandCodes);
}

void tst_Protocol::answerEntries_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");

    QTest::newRow("INFO") << 0x1100 << QStringLiteral("INFO");
    QTest::newRow("METAINFO") << 0x1101 << QStringLiteral("METAINFO");
    QTest::newRow("ANSWER") << 0x1102 << QStringLiteral("ANSWER");
    QTest::newRow("SIGCONNECTRES") << 0x1103 << QStringLiteral("SIGCONNECTRES");
    QTest::newRow("SIGDISCONNECTRES") << 0x1104 << QStringLiteral("SIGDISCONNECTRES");
}

void tst_Protocol::answerEntries()
{
    QFETCH(int, code);
    QFETCH(QString, name);

    QCOMPARE(CommandCatalogue::answerNames().value(code), name);
    QCOMPARE(CommandCatalogue::answerParamNames().value(code), QStringList { QString() });
    QCOMPARE(typeCodes(CommandCatalogue::answerParamTypes().value(code)),
        QList<int> { QVariant::ByteArray });
    QVERIFY(CommandCatalogue::answerParamCount().contains(code));
    QCOMPARE(CommandCatalogue::answerParamCount().value(code), 1);
    QCOMPARE(CommandCatalogue::answerByteLists().value(code), QList<QByteArray> { QByteArray() });
}

void tst_Protocol::answerTablesHoldExactlyTheAnswers()
{
    QCOMPARE(sortedKeys(CommandCatalogue::answerNames()), AnswerCodes);
    QCOMPARE(sortedKeys(CommandCatalogue::answerParamNames()), AnswerCodes);
    QCOMPARE(sortedKeys(CommandCatalogue::answerParamTypes()), AnswerCodes);
    QCOMPARE(sortedKeys(CommandCatalogue::answerParamCount()), AnswerCodes);
    QCOMPARE(sortedKeys(CommandCatalogue::answerByteLists()), AnswerCodes);
    QVERIFY(CommandCatalogue::answerExtra().isEmpty());
}

void tst_Protocol::onlySetEventGoesUnanswered()
{
    QCOMPARE(CommandCatalogue::unansweredCommands(), QList<int> { 0x1105 });
    QVERIFY(!CommandCatalogue::answerNames().contains(0x1105));
}

void tst_Protocol::commandCode_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("code");

    QTest::newRow("lower case") << QStringLiteral("invoke") << 0x1102;
    QTest::newRow("mixed case") << QStringLiteral("Invoke") << 0x1102;
    QTest::newRow("upper case") << QStringLiteral("INVOKE") << 0x1102;
    QTest::newRow("underscore") << QStringLiteral("SET_EVENT") << 0x1105;
    QTest::newRow("prefix of another") << QStringLiteral("SIGDISCONNECT") << 0x1104;
    QTest::newRow("answer name INFO") << QStringLiteral("INFO") << -1;
    QTest::newRow("answer name ANSWER") << QStringLiteral("ANSWER") << -1;
    QTest::newRow("leading space") << QStringLiteral(" INVOKE") << -1;
    QTest::newRow("trailing space") << QStringLiteral("INVOKE ") << -1;
    QTest::newRow("empty") << QString() << -1;
}

void tst_Protocol::commandCode()
{
    QFETCH(QString, name);
    QFETCH(int, code);

    QCOMPARE(CommandCatalogue::commandCode(name), code);
}

void tst_Protocol::answerParamNamesLookup_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("answered command") << 0x1102 << QStringList { QString() };
    QTest::newRow("unanswered command") << 0x1105 << QStringList();
    QTest::newRow("no such code") << -1 << QStringList();
}

void tst_Protocol::answerParamNamesLookup()
{
    QFETCH(int, code);
    QFETCH(QStringList, names);

    QCOMPARE(CommandCatalogue::answerParamNames().value(code), names);
}

void tst_Protocol::parseTypeList_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QList<int>>("types");

    QTest::newRow("one type") << QByteArray("uint") << QList<int> { QVariant::UInt };
    QTest::newRow("empty") << QByteArray("") << QList<int> { QVariant::Invalid };
    QTest::newRow("two types") << QByteArray("QByteArray|uint")
                               << QList<int> { QVariant::ByteArray, QVariant::UInt };
    QTest::newRow("unknown name") << QByteArray("nosuchtype") << QList<int> { QVariant::Invalid };
    QTest::newRow("empty part kept") << QByteArray(
        "uint||QString") << QList<int> { QVariant::UInt, QVariant::Invalid, QVariant::String };
}

void tst_Protocol::parseTypeList()
{
    QFETCH(QByteArray, list);
    QFETCH(QList<int>, types);

    QCOMPARE(typeCodes(::parseTypeList(list.constData())), types);
}

void tst_Protocol::resultCodes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    QTest::newRow("0") << 0 << QStringLiteral("OK") << QStringLiteral("команда выполнена успешно");
    QTest::newRow("1") << 1 << QStringLiteral("INVALID_PARAM")
                       << QStringLiteral("Устройство вернуло неверный блок параметров");
    QTest::newRow("2") << 2 << QStringLiteral("INVALID_COMMAND")
                       << QStringLiteral("Неверная команда");
    QTest::newRow("3") << 3 << QStringLiteral("INVALID_DEVICE_ID")
                       << QStringLiteral("Неверный идентификатор устройства");
    QTest::newRow("4") << 4 << QStringLiteral("INVALID_PARAM")
                       << QStringLiteral("Неверный блок параметров");
    QTest::newRow("5") << 5 << QStringLiteral("INVALID_MSG")
                       << QStringLiteral("Неверные данные от сервера");
    QTest::newRow("6") << 6 << QStringLiteral("SRV_DISCONNECT")
                       << QStringLiteral("Отключение сервера");
    QTest::newRow("7") << 7 << QStringLiteral("CONNECTION_ERROR")
                       << QStringLiteral("Потеря связи с сервером");
    QTest::newRow("8") << 8 << QStringLiteral("QUEUE_OVERFLOW")
                       << QStringLiteral("Переполнена очередь команд");
    QTest::newRow("9") << 9 << QStringLiteral("NOTREPLY")
                       << QStringLiteral("Устройство ни разу не ответило");
    QTest::newRow("10") << 10 << QStringLiteral("TRY_END")
                        << QStringLiteral("Исчерпаны попытки выполнить команду");
    QTest::newRow("11") << 11 << QStringLiteral("SRV_INACTIVE")
                        << QStringLiteral("Сервер неактивен");
    QTest::newRow("17") << 17 << QStringLiteral("NO_RIGHTS")
                        << QStringLiteral("Недостаточно прав для выполнения команды");
    QTest::newRow("0x1200") << 0x1200 << QStringLiteral(">OK")
                            << QStringLiteral("команда завершилась успешно");
    QTest::newRow("0x1209") << 0x1209 << QStringLiteral(">UNIDENT")
                            << QStringLiteral(
                                   "неизвестная команда или неправильный формат команды");
    QTest::newRow("0x120A") << 0x120A << QStringLiteral(">INVALID_CMD_NUMBER") << QString();
    QTest::newRow("0x120B") << 0x120B << QStringLiteral(">INVALID_START_CHAR") << QString();
}

void tst_Protocol::resultCodes()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    QFETCH(QString, text);

    QCOMPARE(ResultCodeTable::resultNames().value(code), name);
    QVERIFY(ResultCodeTable::resultTexts().contains(code));
    QCOMPARE(ResultCodeTable::resultTexts().value(code), text);
}

void tst_Protocol::resultTablesHoldExactlyTheCodes()
{
    QCOMPARE(sortedKeys(ResultCodeTable::resultNames()), ResultCodes);
    QCOMPARE(sortedKeys(ResultCodeTable::resultTexts()), ResultCodes);
}

void tst_Protocol::unknownResultCodes_data()
{
    QTest::addColumn<int>("code");

    QTest::newRow("gap after 11") << 12;
    QTest::newRow("between >OK and >UNIDENT") << 4609;
    QTest::newRow("negative") << -1;
}

void tst_Protocol::unknownResultCodes()
{
    QFETCH(int, code);

    QVERIFY(ResultCodeTable::resultNames().value(code).isEmpty());
    QVERIFY(ResultCodeTable::resultTexts().value(code).isEmpty());
}

void tst_Protocol::sharedResultNameKeepsDistinctTexts()
{
    // Codes 1 and 4 share a name, so only the text tells a device fault from a caller's one.
    QCOMPARE(ResultCodeTable::resultNames().value(1), ResultCodeTable::resultNames().value(4));
    QVERIFY(ResultCodeTable::resultTexts().value(1) != ResultCodeTable::resultTexts().value(4));
    QCOMPARE(ResultCodeTable::resultNames().keys(QStringLiteral("INVALID_PARAM")).size(), 2);
}

void tst_Protocol::notificationEntry()
{
    const QString name = QStringLiteral("сигналы");
    QCOMPARE(NotificationCatalogue::notificationNames().value(1), name);
    QCOMPARE(NotificationCatalogue::notificationDescriptions().value(1), name);
    QCOMPARE(NotificationCatalogue::notificationParamNames().value(1),
        QStringList { QStringLiteral("data") });
    QCOMPARE(typeCodes(NotificationCatalogue::notificationParamTypes().value(1)),
        QList<int> { QVariant::ByteArray });
    QCOMPARE(NotificationCatalogue::notificationParamCount().value(1), 1);
    QCOMPARE(NotificationCatalogue::notificationByteLists().value(1),
        QList<QByteArray> { QByteArray() });
}

void tst_Protocol::notificationTablesHoldOneEntry()
{
    const QList<int> one { 1 };
    QCOMPARE(NotificationCatalogue::notificationNames().keys(), one);
    QCOMPARE(NotificationCatalogue::notificationDescriptions().keys(), one);
    QCOMPARE(NotificationCatalogue::notificationParamNames().keys(), one);
    QCOMPARE(NotificationCatalogue::notificationParamTypes().keys(), one);
    QCOMPARE(NotificationCatalogue::notificationParamCount().keys(), one);
    QCOMPARE(NotificationCatalogue::notificationByteLists().keys(), one);
    QVERIFY(NotificationCatalogue::notificationExtra().isEmpty());
}

void tst_Protocol::unknownNotificationCodes_data()
{
    QTest::addColumn<int>("code");

    QTest::newRow("zero") << 0;
    QTest::newRow("two") << 2;
    QTest::newRow("negative") << -1;
}

void tst_Protocol::unknownNotificationCodes()
{
    QFETCH(int, code);

    QVERIFY(NotificationCatalogue::notificationNames().value(code).isEmpty());
    QVERIFY(NotificationCatalogue::notificationDescriptions().value(code).isEmpty());
    QVERIFY(NotificationCatalogue::notificationParamNames().value(code).isEmpty());
    QVERIFY(NotificationCatalogue::notificationParamTypes().value(code).isEmpty());
    QCOMPARE(NotificationCatalogue::notificationParamCount().value(code), 0);
    QVERIFY(NotificationCatalogue::notificationByteLists().value(code).isEmpty());
}

QTEST_MAIN(tst_Protocol)
#include "tst_protocol.moc"
