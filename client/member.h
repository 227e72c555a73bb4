#ifndef MEMBER_H
#define MEMBER_H

#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QStringList>

// A method or signal of a remote object, read from its entry "ReturnType name(Type,Type)": an
// entry of a proxy's methodList, or a signal record of the object's meta information with its
// kind left out.
class Member
{
public:
    // False for text that is not "ReturnType name(...)".
    static bool parse(const QString &entry, Member *member);
    // The entries in their order, leaving out those that cannot be read.
    static QList<Member> parseAll(const QStringList &entries);
    // The members' signatures, in their order.
    static QStringList signatures(const QList<Member> &members);
    // A signature as a user may write it, "add( int, int )", as Qt writes it: "add(int,int)".
    static QString normalized(const QString &signature);

    QString entry() const { return returnType + QLatin1Char(' ') + signature; }
    // The module reads "void" in any letter case as no value.
    bool returnsValue() const
    {
        return returnType.compare(QLatin1String("void"), Qt::CaseInsensitive) != 0;
    }
    // The module reads some entries its own way (brackets that do not pair up, empty
    // parameters), and calls those methods with a number of arguments no service accepts.
    bool moduleCallsCorrectly() const { return moduleArgumentCount == parameterTypes.size(); }

    QString returnType;
    QString name;
    QString signature;
    // Whole type names, "QMap<QString,int>" as one.
    QStringList parameterTypes;
    // How many arguments the module calls it with (protocol/methodentry.h).
    int moduleArgumentCount = 0;
};

#endif
