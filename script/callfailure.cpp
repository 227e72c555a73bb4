#include "callfailure.h"

#include <resultcodetable.h>

CallFailure::CallFailure(const QString &warning)
    : m_warning(warning)
{
    const QHash<int, QString> &names = ResultCodeTable::resultNames();
    const QHash<int, QString> &texts = ResultCodeTable::resultTexts();
    for (auto it = names.cbegin(); it != names.cend(); ++it) {
        const QString text = texts.value(it.key());
        // The module leaves out the parentheses for a code without a text.
        const QString written
            = text.isEmpty() ? it.value() : it.value() + QLatin1Char('(') + text + QLatin1Char(')');
        if (written == warning) {
            m_code = it.key();
            m_codeName = it.value();
            m_codeText = text;
            return;
        }
    }
}

QString CallFailure::toString() const
{
    if (m_code < 0)
        return m_warning;
    const QString named = QStringLiteral("%1 (%2)").arg(m_codeName).arg(m_code);
    return m_codeText.isEmpty() ? named : named + QStringLiteral(": ") + m_codeText;
}
