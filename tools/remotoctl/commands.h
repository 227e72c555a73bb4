#ifndef COMMANDS_H
#define COMMANDS_H

#include <QtCore/QString>
#include <QtCore/QStringList>

class Session;

// The tool's commands on an open session; each returns the process's exit code.
namespace Commands {

int list(Session &session, bool json);
// `method` is a name or a signature; `arguments` are the texts from the command line, read
// for the method's parameter types.
int call(
    Session &session, const QString &object, const QString &method, const QStringList &arguments);
// `signal` is a name or a signature.
int watch(Session &session, const QString &object, const QString &signal, int count);
int monitor(Session &session, int count);

} // namespace Commands

#endif
