#ifndef KEPTBUFFER_H
#define KEPTBUFFER_H

#include <QtCore/QByteArray>

// A buffer kept from one use to the next, so that a large value is written into memory touched
// before: fresh memory costs a page fault every 4 KiB at its first touch, more than encoding or
// decoding the bytes, and a small value would cost an allocation every time. Every such cache
// keeps to the same rule, written here: a buffer is kept only up to MaxSize, as it holds its
// memory for good; it is handed out only when nothing else holds it any more, since writing
// would first copy it; and to one user at a time, who takes it and keeps it again when done.
class KeptBuffer
{
public:
    static constexpr int MaxSize = 4 * 1024 * 1024;

    // Whether `buffer` may be written over in place and kept afterwards.
    static bool isReusable(const QByteArray &buffer);

    // Holds on to `buffer`'s room for the next take(), unless it is larger than MaxSize. It may
    // still be in use elsewhere: take() hands it out only once it is not.
    void keep(const QByteArray &buffer);
    // The kept buffer, which is no longer kept; a null array when there is none, something
    // else still holds it, or `size` bytes are more than a kept buffer may grow to.
    QByteArray take(int size = 0);
    // The same, and only a buffer whose room lies between `size` and twice that: its user may
    // hold on to it for long, and a much larger one would hold memory for nothing meanwhile.
    QByteArray takeFitting(int size);

private:
    QByteArray m_kept;
};

#endif
