#ifndef TESTCERTIFICATES_H
#define TESTCERTIFICATES_H

#include <QtCore/QFile>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>

// Where make-test-certificates.sh put this program's throwaway certificates, with a trailing
// slash; made on first use, and empty when openssl could not make them.
inline QString testCertificates()
{
    static QTemporaryDir dir;
    static const bool made = [] {
        QProcess script;
        script.start(
            QStringLiteral("sh"), { QStringLiteral(REMOTO_CERTIFICATE_SCRIPT), dir.path() });
        return dir.isValid() && script.waitForFinished(60000)
            && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
    }();
    return made ? dir.path() + QLatin1Char('/') : QString();
}

// The service certificate's pin, as openssl computed it.
inline QString testCertificatePin()
{
    QFile pin(testCertificates() + QStringLiteral("service.pin"));
    return pin.open(QIODevice::ReadOnly) ? QString::fromLatin1(pin.readAll().trimmed()) : QString();
}

#endif
