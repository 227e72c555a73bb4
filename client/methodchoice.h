#ifndef METHODCHOICE_H
#define METHODCHOICE_H

#include "member.h"

#include <QtCore/QList>
#include <QtCore/QString>

// The method of a remote object a call goes to, as the module chooses it (protocol/
// methodentry.h): of the entries with the call's name and, as the module counts them, its
// number of arguments, the last.
namespace MethodChoice {

// The method the module calls for `given`, a name or a signature, with `count` arguments,
// among `methods` of the object `objectName`, in their order. False, with `problem` saying why
// in words that name the object, when there is none, when a signature was given that the
// module would not call, or when the module reads the chosen entry as taking another number of
// arguments than the method does.
bool choose(const QString &objectName, const QList<Member> &methods, const QString &given,
    int count, Member *chosen, QString *problem);

} // namespace MethodChoice

#endif
