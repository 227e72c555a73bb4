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
    if (!url.isValid() || url.scheme() != QLatin1String("tcp") || !url.userInfo().isEmpty()
        || !url.path().isEmpty() || url.hasQuery() || url.hasFragment())
        return address;
    address.kind = Tcp;
    address.host = url.host();
    address.port = url.port();
    return address;
}

QString ServiceAddress::toString() const
{
    switch (kind) {
    case Local:
        return QStringLiteral("local:") + name;
    case Tcp: {
        QUrl url;
        url.setScheme(QStringLiteral("tcp"));
        url.setHost(host);
        url.setPort(port);
        return url.toString();
    }
    case Invalid:
        break;
    }
    return QString();
}

} // namespace Wire
