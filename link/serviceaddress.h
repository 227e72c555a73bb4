#ifndef SERVICEADDRESS_H
#define SERVICEADDRESS_H

#include <QtCore/QString>

namespace Wire {

// Where a service listens: "local:NAME" for a local socket, "tcp://HOST:PORT" for TCP,
// "tls://HOST:PORT" for TCP carrying TLS.
struct ServiceAddress
{
    enum Kind {
        Invalid,
        Local,
        Tcp,
        Tls,
    };

    Kind kind = Invalid;
    QString name;
    // Empty when the text left it out, as in "tcp://:PORT".
    QString host;
    // -1 when the text left it out.
    int port = -1;

    // Anything else than the three forms, including a TCP address with a path, query or user
    // part, gives an Invalid address.
    static ServiceAddress parse(const QString &text);
    QString toString() const;
    // Whether the address is a TCP one, with or without TLS.
    bool isNetwork() const;
};

} // namespace Wire

#endif
