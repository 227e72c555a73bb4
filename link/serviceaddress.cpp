#include "serviceaddress.h"

#include <QtCore/QUrl>

namespace Wire {

ServiceAddress ServiceAddress::parse(const QString &text)
{
    ServiceAddress address;
    const QString localScheme = QStringLiteral("local:");
    if (text.startsWith(localScheme)) {
        address.name = text.mid(localScheme.size());
        if (!address.name.isEmpty())
            address.kind = Local;
        return address;
    }
    const QUrl url(text, QUrl::StrictMode);
    const bool tls = url.scheme() == QLatin1String("tls");
    if (!url.isValid() || (!tls && url.scheme() != QLatin1String("tcp"))
        || !url.userInfo().isEmpty() || !url.path().isEmpty() || url.hasQuery()
        || url.hasFragment())
        return address;
    address.kind = tls ? Tls : Tcp;
    address.host = url.host();
    address.port = url.port();
    return address;
}

QString ServiceAddress::toString() const
{
    switch (kind) {
    case Local:
        return QStringLiteral("local:") + name;
    case Tcp:
    case Tls: {
        QUrl url;
        url.setScheme(kind == Tls ? QStringLiteral("tls") : QStringLiteral("tcp"));
        url.setHost(host);
        url.setPort(port);
        return url.toString();
    }
    case Invalid:
        break;
    }
    return QString();
}

bool ServiceAddress::isNetwork() const
{
    return kind == Tcp || kind == Tls;
}

} // namespace Wire
