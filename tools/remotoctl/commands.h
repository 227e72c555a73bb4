#ifndef COMMANDS_H
#define COMMANDS_H

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QVariantList>

class Session;

// The tool's commands on an open session; each returns the process's exit code.
namespace Commands {

int list(Session &session);
int call(
    Session &session, const QString &object, const QString &method, const QVariantList &arguments);
int watch(Session &session, const QString &object, const QByteArray &signature, int count);
int monitor(Session &session, int count);
// `fileName` names the script in messages: its path, or -e for code given on the command line.
int script(Session &session, const QString &program, const QString &fileName);

} // namespace Commands

#endif
