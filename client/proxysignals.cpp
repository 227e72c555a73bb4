#include "proxysignals.h"

#include <commandcatalogue.h>
#include <payloadcodec.h>

using Velmor::Command::Message;

namespace {

// The signal entries of a successful GETMETAINFO answer, "void changed(int)": its records read
// "Kind ReturnType signature", single spaces, as the module reads them.
QStringList signalsIn(const Message &message)
{
    if (message.kind != Velmor::Command::Answer)
        return QStringList();
    AnswerHeader header;
    QVariantList values;
    if (!Wire::PayloadCodec::decodeAnswer(message.payload.toByteArray(), &header, &values)
        || header.result != ResultCode::Ok || header.command != CommandCatalogue::GetMetaInfo)
        return QStringList();
    const QStringList records = values.value(0).toStringList();
    QStringList entries;
    for (int i = 1; i < records.size(); ++i) {
        const QStringList fields = records.at(i).split(QLatin1Char(' '));
        if (fields.size() == 3 && fields.at(0) == QLatin1String("Signal"))
            entries.append(fields.at(1) + QLatin1Char(' ') + fields.at(2));
    }
    return entries;
}

} // namespace

void ProxySignals::arrived(const Message &message)
{
    m_arriving.append(signalsIn(message));
}

void ProxySignals::handled()
{
    m_arriving.removeLast();
}

void ProxySignals::proxyConnected(QObject *proxy)
{
    if (!m_signals.contains(proxy))
        connect(
            proxy, &QObject::destroyed, this, [this](QObject *gone) { m_signals.remove(gone); });
    m_signals.insert(proxy, m_arriving.value(m_arriving.size() - 1));
}
