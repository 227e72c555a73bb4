#ifndef BENCHOBJECT_H
#define BENCHOBJECT_H

#include <QtCore/QObject>
#include <QtCore/QString>

// The one class both systems publish, so each serves exactly the same members. Public slots,
// because those are what both systems offer to a client without generated code.
class BenchObject : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

public Q_SLOTS:
    int add(int a, int b) { return a + b; }
    int length(const QString &text) { return text.size(); }
    QString text(int length) { return QString(length, QLatin1Char('x')); }
    void burst(int count)
    {
        for (int i = 0; i < count; ++i)
            Q_EMIT fired(i);
    }

Q_SIGNALS:
    void fired(int value);
};

#endif
