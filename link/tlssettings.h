#ifndef TLSSETTINGS_H
#define TLSSETTINGS_H

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtNetwork/QSslCertificate>
#include <QtNetwork/QSslConfiguration>
#include <QtNetwork/QSslError>
#include <QtNetwork/QSslKey>

namespace Wire {

// What one end of a tls:// link shows and what it trusts. A service shows `chain` and, with
// `authorities`, requires client certificates they issued; a connection trusts `authorities`
// (the system's when empty) or a certificate whose public key matches `pin`, and shows `chain`
// when it has one.
struct TlsSettings
{
    QList<QSslCertificate> chain;
    QSslKey key;
    QList<QSslCertificate> authorities;
    // SHA-256 of the DER SubjectPublicKeyInfo; empty for no pin.
    QByteArray pin;

    // Both PEM; the first certificate is the one shown, the rest its chain. False, with
    // `error` and nothing changed, when either is unreadable or empty.
    bool loadChain(const QString &chainFile, const QString &keyFile, QString *error);
    bool loadAuthorities(const QString &file, QString *error);
    // 64 hex digits; false, changing nothing, for anything else. Empty removes the pin.
    bool setPin(const QString &hex);

    QSslConfiguration configuration(bool serviceSide) const;
    // What made the service's certificate unacceptable, in plain English; empty when it is
    // acceptable. A matching pin stands in for the issuer but not for expiry or host name.
    QString verdict(const QSslCertificate &peer, const QList<QSslError> &errors) const;

    static QByteArray publicKeyDigest(const QSslCertificate &certificate);
};

} // namespace Wire

#endif
