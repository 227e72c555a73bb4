#ifndef VALUELISTDECODER_H
#define VALUELISTDECODER_H

#include <QtCore/QByteArray>
#include <QtCore/QVariantList>

// Reads a value list from untrusted bytes. For well-formed input the result equals what
// QDataStream (Qt 5.15 default version, big-endian) gives for `stream >> QVariantList`; for
// hostile input it allocates no more than the bytes can justify, bounds the nesting depth and
// never reads past the end.
class ValueListDecoder
{
public:
    // Deeper nesting of containers than this is an unreadable value.
    static constexpr int MaxDepth = 64;

    // Reads one list from the start of `bytes` (trailing bytes are ignored, as QDataStream
    // does). On an unreadable value the list is emptied and false is returned.
    static bool decode(const QByteArray &bytes, QVariantList *values);
};

#endif
