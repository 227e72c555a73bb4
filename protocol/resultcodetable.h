#ifndef RESULTCODETABLE_H
#define RESULTCODETABLE_H

#include <QtCore/QHash>
#include <QtCore/QString>

// The result codes an answer can carry, by their numbers on the wire. A nested unscoped enum,
// so that the codes read as ResultCode::InvalidParams and still convert to the qint32 the
// answer header holds.
struct ResultCode
{
    enum Code : qint32 {
        Ok = 0,
        // The object's own fault: a result that could not be written.
        DeviceInvalidParams = 1,
        InvalidCommand = 2,
        InvalidDeviceId = 3,
        InvalidParams = 4,
        InvalidMessage = 5,
        ServerDisconnect = 6,
        // Also what a host connection answers its waiting requests with when the link is lost.
        ConnectionError = 7,
        QueueOverflow = 8,
        NotReplied = 9,
        TriesExhausted = 10,
        ServerInactive = 11,
        // Also what a request finishes with when the connection or the service refuses it.
        NoRights = 17,
        DeviceOk = 0x1200,
        DeviceUnknownCommand = 0x1209,
        InvalidCommandNumber = 0x120A,
        InvalidStartChar = 0x120B,
    };
};

// Names and Russian texts of the result codes a response can carry. One read-only instance,
// built while the module loads, after the command catalogue.
class ResultCodeTable
{
public:
    static const QHash<int, QString> &resultNames();
    static const QHash<int, QString> &resultTexts();

    static const ResultCodeTable &instance();

private:
    ResultCodeTable();
    Q_DISABLE_COPY(ResultCodeTable)

    QHash<int, QString> m_resultNames;
    QHash<int, QString> m_resultTexts;
};

#endif
