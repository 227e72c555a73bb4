#ifndef PAYLOADCODEC_H
#define PAYLOADCODEC_H

#include "answerheader.h"
#include "resultcodetable.h"

#include <QtCore/QByteArray>
#include <QtCore/QDateTime>
#include <QtCore/QVariantList>

namespace Wire {

// The payloads inside request and message frames: value lists, answers and signal
// notifications, as docs/wire-protocol.md lays them out. Answers carry the protocol's result
// codes (ResultCode).
class PayloadCodec
{
public:
    // Base64 text of the QDataStream form (default settings) of `values`.
    static QByteArray encodeValueList(const QVariantList &values);

    // Reads text made by encodeValueList that came from a peer, with the module's bounded
    // decoder: bad Base64 or an unreadable list give false and an empty list.
    static bool decodeValueList(const QByteArray &text, QVariantList *values);
    // The same for the bytes such text decodes to.
    static bool readValueList(const QByteArray &bytes, QVariantList *values);

    // An answer payload: time stamp, result code and answered command, then the value list.
    static QByteArray encodeAnswer(
        qint32 result, qint32 command, const QVariantList &values, const QDateTime &time);
    // The same, written over `payload`, a buffer the caller keeps for the next answer: an
    // answer of megabytes then lands in memory touched before. False when a value cannot be
    // written.
    static bool encodeAnswer(qint32 result, qint32 command, const QVariantList &values,
        qint64 msecsSinceEpoch, QByteArray *payload);
    // Reads an answer payload from a peer: false, with `values` empty, when it is too short
    // for its header or its value list is unreadable.
    static bool decodeAnswer(const QByteArray &payload, AnswerHeader *header, QVariantList *values);

    // A signal notification payload: the value list [null return holder, signature, args...],
    // written over `text`, a buffer the caller keeps for the next one: a burst of
    // notifications then costs no allocation each. False when a value cannot be written.
    static bool encodeNotification(
        const QString &signature, const QVariant *arguments, int count, QByteArray *text);

    // Days since 1899-12-30 00:00 UTC, the fraction being the time of day.
    static double toOleDate(const QDateTime &time);
    static double toOleDate(qint64 msecsSinceEpoch);

    // Whether a value of the type survives QDataStream, so it can go into a value list.
    static bool isStreamable(int typeId);
};

} // namespace Wire

#endif
