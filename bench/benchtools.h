#ifndef BENCHTOOLS_H
#define BENCHTOOLS_H

#include <QtCore/QStringList>

#include <functional>

class QObject;
class QSslSocket;
class QUrl;

// What the programs here share around their hosts and services.
namespace BenchTools {

// Runs the event loop until `done` holds; false when `patienceMs` runs out first.
bool waitFor(const std::function<bool()> &done, int patienceMs = 120000);

// Says what went wrong, under the program's name, and ends the program with status 1.
[[noreturn]] void fail(const char *what);

// `count` free ports at once, so that no two services get the same one.
QStringList freeTcpAddresses(int count);

// A TLS socket connecting to `url`, trusting the CA of the throwaway certificates the services
// show.
QSslSocket *tlsSocket(const QUrl &url, QObject *parent);

} // namespace BenchTools

#endif
