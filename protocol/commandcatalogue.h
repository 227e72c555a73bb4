#ifndef COMMANDCATALOGUE_H
#define COMMANDCATALOGUE_H

#include <QtCore/QByteArray>
#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QVariant>

// The command set: codes, names and parameter lists of every command and answer. One
// read-only instance, built while the module loads.
class CommandCatalogue
{
public:
    enum Code : int {
        GetInfo = 0x1100,
        GetMetaInfo = 0x1101,
        Invoke = 0x1102,
        SigConnect = 0x1103,
        SigDisconnect = 0x1104,
        SetEvent = 0x1105,
    };

    // A request whose payload goes as Base64 text also carries, when the payload is at least
    // MinUnwrappedPayloadSize bytes, the payload itself as this dynamic property (a
    // QByteArray): a connection that can carry it as it is spares both ends the Base64 work
    // on a large value. Below that size the property costs more than it saves.
    static constexpr char UnwrappedPayloadProperty[] = "_remoto_unwrappedPayload";
    static constexpr int MinUnwrappedPayloadSize = 4096;

    static const QHash<int, QString> &commandNames();
    static const QHash<int, QString> &answerNames();
    static const QHash<int, QString> &commandDescriptions();
    static const QHash<int, QStringList> &commandParamNames();
    static const QHash<int, QList<QVariant::Type>> &commandParamTypes();
    static const QHash<int, int> &commandParamCount();
    static const QHash<int, QStringList> &answerParamNames();
    static const QHash<int, QList<QVariant::Type>> &answerParamTypes();
    static const QHash<int, int> &answerParamCount();
    static const QHash<int, QList<QByteArray>> &answerByteLists();
    static const QHash<int, int> &answerExtra();
    static const QList<int> &unansweredCommands();

    // The code of a command named in any letter case, or -1.
    static int commandCode(const QString &name);

    static const CommandCatalogue &instance();

private:
    CommandCatalogue();
    Q_DISABLE_COPY(CommandCatalogue)

    QHash<int, QString> m_commandNames;
    QHash<int, QString> m_answerNames;
    QHash<int, QString> m_commandDescriptions;
    QHash<int, QStringList> m_commandParamNames;
    QHash<int, QList<QVariant::Type>> m_commandParamTypes;
    QHash<int, int> m_commandParamCount;
    QHash<int, QStringList> m_answerParamNames;
    QHash<int, QList<QVariant::Type>> m_answerParamTypes;
    QHash<int, int> m_answerParamCount;
    QHash<int, QList<QByteArray>> m_answerByteLists;
    QHash<int, int> m_answerExtra;
    QList<int> m_unansweredCommands;
};

// Splits a '|'-separated list of type names into their types, keeping empty parts; an empty
// or unknown name gives QVariant::Invalid.
QList<QVariant::Type> parseTypeList(const char *list);

// Splits a '|'-separated name list, keeping empty parts.
QStringList parseNameList(const QString &list);

#endif
