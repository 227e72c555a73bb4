#include "commandline.h"

#include <QtCore/QFile>

bool CommandLine::readFile(const QString &path, QByteArray *contents, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    *contents = file.readAll();
    return true;
}

bool CommandLine::readCount(const QString &text, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= 0;
}
