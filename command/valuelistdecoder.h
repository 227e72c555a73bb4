#ifndef VALUELISTDECODER_H
#define VALUELISTDECODER_H

#include "base64codec.h"

#include <QtCore/QByteArray>
#include <QtCore/QVariantList>

// Reads a value list from untrusted bytes. For well-formed input the result equals what
// QDataStream (Qt 5.15 default version, big-endian) gives for `stream >> QVariantList`; for
// hostile input it allocates in all no more than a small multiple of the input's size, however
// deeply the lists nest, bounds the nesting depth and never reads past the end. A value named
// by a type name longer or more deeply bracketed than SignatureLimits allows is unreadable
// before Qt's type-name parser sees the name.
//
// Readable are the numbers, QChar, strings, byte arrays, bit arrays, string and byte-array
// lists, dates, times and date-times, URLs, locales, UUIDs, points, sizes, rects and lines, and
// lists, maps, hashes and variants of those; in a process that has Qt GUI loaded, also colours,
// polygons, transforms, 4x4 matrices, vectors, quaternions and key sequences. Any other type is
// an unreadable value, types the host registered stream operators for included, and so is a
// date-time beyond what QDateTime can compute with or in a zone this machine does not list
// (zones made from a whole-minute UTC offset are always readable).
class ValueListDecoder
{
public:
    // Lists, maps, hashes and variants nested deeper than this, the outermost list being the
    // first level, are an unreadable value.
    static constexpr int MaxDepth = 64;

    // Reads one list from the start of `bytes` (trailing bytes are ignored, as QDataStream
    // does). On an unreadable value the list is emptied and false is returned.
    static bool decode(const QByteArray &bytes, QVariantList *values);
    // The same, with the list's first `leadCount` values read into `lead` and only the others
    // into `rest`: a caller taking the leading values apart spares them a place in the list.
    // `count`, when given, receives how many values the list held.
    static bool decode(
        const QByteArray &bytes, QVariant *lead, int leadCount, QVariantList *rest, int *count);
    // The same for the bytes of Base64 text decoded as Base64Codec decodes it in `mode` (text it
    // refuses is an unreadable list). Canonical text is decoded as the list is read, a long
    // string straight into its own memory.
    static bool decodeBase64(const QByteArray &text, Base64Codec::Mode mode, QVariantList *values);
    static bool decodeBase64(const QByteArray &text, Base64Codec::Mode mode, QVariant *lead,
        int leadCount, QVariantList *rest, int *count);
};

#endif
