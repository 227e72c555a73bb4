#include "commandcatalogue.h"

#include "notificationcatalogue.h"

namespace {
const CommandCatalogue *catalogue = nullptr;
}

QList<QVariant::Type> parseTypeList(const char *list)
{
    QList<QVariant::Type> types;
    const QList<QByteArray> parts = QByteArray(list).split('|');
    for (const QByteArray &part : parts)
        types.append(QVariant::nameToType(part.constData()));
    return types;
}

QStringList parseNameList(const QString &list)
{
    return list.split(QLatin1Char('|'), Qt::KeepEmptyParts, Qt::CaseSensitive);
}

CommandCatalogue::CommandCatalogue()
{
    struct Command
    {
        int code;
        const char *name;
        const char *description;
        const char *paramNames;
        const char *paramTypes;
        int paramCount;
    };
    // Insertion order as the tables have always been built; no lookup depends on it.
    static const Command commands[] = {
        {SetEvent, "SET_EVENT", "установить маску событий", "маска", "uint", 1},
        {GetInfo, "GETINFO", "", "", "", 0},
        {GetMetaInfo, "GETMETAINFO", "", "", "", 0},
        {Invoke, "INVOKE", "", "", "QByteArray", 1},
        {SigConnect, "SIGCONNECT", "", "", "QByteArray", 1},
        {SigDisconnect, "SIGDISCONNECT", "", "", "QByteArray", 1},
    };
    static const std::pair<int, const char *> answers[] = {
        {GetInfo, "INFO"},
        {GetMetaInfo, "METAINFO"},
        {Invoke, "ANSWER"},
        {SigConnect, "SIGCONNECTRES"},
        {SigDisconnect, "SIGDISCONNECTRES"},
    };

    for (const Command &c : commands)
        m_commandNames.insert(c.code, QString::fromUtf8(c.name));
    for (const auto &a : answers)
        m_answerNames.insert(a.first, QString::fromUtf8(a.second));
    for (const Command &c : commands)
        m_commandDescriptions.insert(c.code, QString::fromUtf8(c.description));
    for (const Command &c : commands)
        m_commandParamNames.insert(c.code, parseNameList(QString::fromUtf8(c.paramNames)));
    for (const Command &c : commands)
        m_commandParamTypes.insert(c.code, parseTypeList(c.paramTypes));
    for (const Command &c : commands)
        m_commandParamCount.insert(c.code, c.paramCount);
    for (const auto &a : answers) {
        m_answerParamNames.insert(a.first, parseNameList(QString()));
        m_answerParamTypes.insert(a.first, parseTypeList("QByteArray"));
        m_answerParamCount.insert(a.first, 1);
        m_answerByteLists.insert(a.first, QByteArray().split('|'));
    }
    m_unansweredCommands.append(SetEvent);
}

const CommandCatalogue &CommandCatalogue::instance()
{
    static const CommandCatalogue built;
    return built;
}

// Built while the module's static initialisers run, before any module code can ask for it;
// the accessors read this pointer. Whatever links the catalogue gets the other two tables as
// well, each built after the ones it names first.
[[maybe_unused]] static const bool catalogueBuilt
    = (catalogue = &CommandCatalogue::instance(), NotificationCatalogue::instance(), true);

int CommandCatalogue::commandCode(const QString &name)
{
    return commandNames().key(name.toUpper(), -1);
}

const QHash<int, QString> &CommandCatalogue::commandNames() { return catalogue->m_commandNames; }
const QHash<int, QString> &CommandCatalogue::answerNames() { return catalogue->m_answerNames; }
const QHash<int, QString> &CommandCatalogue::commandDescriptions()
{
    return catalogue->m_commandDescriptions;
}
const QHash<int, QStringList> &CommandCatalogue::commandParamNames()
{
    return catalogue->m_commandParamNames;
}
const QHash<int, QList<QVariant::Type>> &CommandCatalogue::commandParamTypes()
{
    return catalogue->m_commandParamTypes;
}
const QHash<int, int> &CommandCatalogue::commandParamCount()
{
    return catalogue->m_commandParamCount;
}
const QHash<int, QStringList> &CommandCatalogue::answerParamNames()
{
    return catalogue->m_answerParamNames;
}
const QHash<int, QList<QVariant::Type>> &CommandCatalogue::answerParamTypes()
{
    return catalogue->m_answerParamTypes;
}
const QHash<int, int> &CommandCatalogue::answerParamCount() { return catalogue->m_answerParamCount; }
const QHash<int, QList<QByteArray>> &CommandCatalogue::answerByteLists()
{
    return catalogue->m_answerByteLists;
}
const QHash<int, int> &CommandCatalogue::answerExtra() { return catalogue->m_answerExtra; }
const QList<int> &CommandCatalogue::unansweredCommands()
{
    return catalogue->m_unansweredCommands;
}
