#include "keptbuffer.h"

#include <utility>

bool KeptBuffer::isReusable(const QByteArray &buffer)
{
    return buffer.isDetached() && buffer.capacity() <= MaxSize;
}

void KeptBuffer::keep(const QByteArray &buffer)
{
    if (buffer.capacity() <= MaxSize)
        m_kept = buffer;
}

QByteArray KeptBuffer::take(int size)
{
    if (size > MaxSize || !isReusable(m_kept))
        return QByteArray();
    return std::exchange(m_kept, QByteArray());
}

QByteArray KeptBuffer::takeFitting(int size)
{
    if (m_kept.capacity() < size || m_kept.capacity() > 2 * qint64(size))
        return QByteArray();
    return take(size);
}
