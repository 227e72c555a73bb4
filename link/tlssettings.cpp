#include "tlssettings.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QFile>
#include <QtCore/QRegularExpression>

namespace Wire {

namespace {

// Files of certificates and keys are the administrator's, yet bounded all the same.
constexpr qint64 MaxPemFileSize = 1024 * 1024;

QByteArray readPem(const QString &file, QString *error)
{
    QFile pem(file);
    if (!pem.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(file, pem.errorString());
        return QByteArray();
    }
    if (pem.size() > MaxPemFileSize) {
        *error = QStringLiteral("%1 is too large for a PEM file").arg(file);
        return QByteArray();
    }
    return pem.readAll();
}

QList<QSslCertificate> readCertificates(const QString &file, QString *error)
{
    const QByteArray pem = readPem(file, error);
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(pem, QSsl::Pem);
    if (certificates.isEmpty() && !pem.isEmpty())
        *error = QStringLiteral("%1 holds no PEM certificate").arg(file);
    return certificates;
}

bool untrustedIssuer(QSslError::SslError error)
{
    switch (error) {
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
    case QSslError::InvalidCaCertificate:
        return true;
    default:
        return false;
    }
}

} // namespace

bool TlsSettings::loadChain(const QString &chainFile, const QString &keyFile, QString *error)
{
    const QList<QSslCertificate> certificates = readCertificates(chainFile, error);
    if (certificates.isEmpty())
        return false;
    const QByteArray pem = readPem(keyFile, error);
    if (pem.isEmpty())
        return false;
    QSslKey loaded;
    for (QSsl::KeyAlgorithm algorithm : { QSsl::Rsa, QSsl::Ec, QSsl::Dsa }) {
        loaded = QSslKey(pem, algorithm, QSsl::Pem);
        if (!loaded.isNull())
            break;
    }
    if (loaded.isNull()) {
        *error = QStringLiteral("%1 holds no unencrypted PEM private key").arg(keyFile);
        return false;
    }
    chain = certificates;
    key = loaded;
    return true;
}

bool TlsSettings::loadAuthorities(const QString &file, QString *error)
{
    const QList<QSslCertificate> certificates = readCertificates(file, error);
    if (certificates.isEmpty())
        return false;
    authorities = certificates;
    return true;
}

bool TlsSettings::setPin(const QString &hex)
{
    static const QRegularExpression digest(QStringLiteral("\\A[0-9A-Fa-f]{64}\\z"));
    if (!hex.isEmpty() && !digest.match(hex).hasMatch())
        return false;
    pin = QByteArray::fromHex(hex.toLatin1());
    return true;
}

QSslConfiguration TlsSettings::configuration(bool serviceSide) const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    if (!chain.isEmpty()) {
        configuration.setLocalCertificateChain(chain);
        configuration.setPrivateKey(key);
    }
    // Set even when empty on the service's side: Qt then leaves out the system's CA folders,
    // which it would otherwise prepare anew for every connection, though a service with no
    // client CA trusts no client certificate.
    if (serviceSide || !authorities.isEmpty())
        configuration.setCaCertificates(authorities);
    if (serviceSide)
        configuration.setPeerVerifyMode(
            authorities.isEmpty() ? QSslSocket::VerifyNone : QSslSocket::VerifyPeer);
    else
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return configuration;
}

QString TlsSettings::verdict(const QSslCertificate &peer, const QList<QSslError> &errors) const
{
    const bool pinned = !pin.isEmpty();
    if (pinned && publicKeyDigest(peer) != pin)
        return QStringLiteral("the service's certificate does not match the pinned public key");
    for (const QSslError &error : errors) {
        if (untrustedIssuer(error.error())) {
            if (pinned)
                continue;
            return QStringLiteral("the service's certificate has an unknown issuer (%1)")
                .arg(error.errorString());
        }
        switch (error.error()) {
        case QSslError::CertificateExpired:
            return QStringLiteral("the service's certificate has expired");
        case QSslError::CertificateNotYetValid:
            return QStringLiteral("the service's certificate is not valid yet");
        case QSslError::HostNameMismatch:
            return QStringLiteral("the service's certificate is for another host name");
        default:
            return QStringLiteral("the service's certificate was refused: %1")
                .arg(error.errorString());
        }
    }
    return QString();
}

QByteArray TlsSettings::publicKeyDigest(const QSslCertificate &certificate)
{
    return QCryptographicHash::hash(certificate.publicKey().toDer(), QCryptographicHash::Sha256);
}

} // namespace Wire
