#ifndef RESULTCODETABLE_H
#define RESULTCODETABLE_H

#include <QtCore/QHash>
#include <QtCore/QString>

// Names and Russian texts of the result codes a response can carry. One read-only instance,
// built while the module loads, after the command catalogue.
class ResultCodeTable
{
public:
    static const QHash<int, QString> &resultNames();
    static const QHash<int, QString> &resultTexts();

    static const ResultCodeTable &instance();

private:
    ResultCodeTable();
    Q_DISABLE_COPY(ResultCodeTable)

    QHash<int, QString> m_resultNames;
    QHash<int, QString> m_resultTexts;
};

#endif
