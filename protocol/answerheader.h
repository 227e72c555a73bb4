#ifndef ANSWERHEADER_H
#define ANSWERHEADER_H

#include <QtCore/QByteArray>

// The 16 bytes that open an answer's payload, little-endian: the time stamp as an OLE date (a
// double, days since 1899-12-30), the result code, the command answered. The value list
// follows as Base64 text.
class AnswerHeader
{
public:
    static constexpr int Size = 16;

    double oleDate = 0;
    qint32 result = 0;
    qint32 command = 0;

    // False, leaving `header` alone, for a payload too short to hold one; the payload comes
    // from a peer, so nothing past its end is read.
    static bool read(const QByteArray &payload, AnswerHeader *header);
    // The value list's text after the header, sharing the payload's bytes: the payload must
    // outlive it. Empty when the payload holds no more than a header.
    static QByteArray body(const QByteArray &payload);
    // Writes the header over the first Size bytes of `payload`, which must hold them.
    void write(QByteArray *payload) const;
};

#endif
