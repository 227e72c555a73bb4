#include "calloutcome.h"

#include <commandcatalogue.h>
#include <resultcodetable.h>

#include <QtCore/QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CallOutcome", text);
}

// The name and text of a result code as the module writes them, without the parentheses for a
// code that has no text.
QString writtenByModule(const QString &name, const QString &text)
{
    return text.isEmpty() ? name : name + QLatin1Char('(') + text + QLatin1Char(')');
}

} // namespace

CallOutcome::CallOutcome(Kind kind, int command)
    : kind(kind)
    , command(command)
{
}

CallOutcome CallOutcome::fromWarning(Kind kind, int command, const QString &warning)
{
    CallOutcome outcome(kind, command);
    const QHash<int, QString> &names = ResultCodeTable::resultNames();
    const QHash<int, QString> &texts = ResultCodeTable::resultTexts();
    for (auto it = names.cbegin(); it != names.cend(); ++it) {
        if (writtenByModule(it.value(), texts.value(it.key())) == warning) {
            outcome.code = it.key();
            return outcome;
        }
    }
    outcome.reason = warning;
    return outcome;
}

QString CallOutcome::errorText() const
{
    if (code >= 0) {
        const QString named
            = QStringLiteral("%1 (%2)").arg(ResultCodeTable::resultNames().value(code)).arg(code);
        const QString text = ResultCodeTable::resultTexts().value(code);
        return text.isEmpty() ? named : named + QStringLiteral(": ") + text;
    }
    const bool subscription = command == CommandCatalogue::SigConnect;
    switch (kind) {
    case Succeeded:
        return QString();
    case Failed:
        return reason;
    case Declined:
        return subscription ? tr("the service has no such signal")
                            : tr("the module gave no answer");
    case TimedOut:
        // As the module words it.
        return tr("%1 command timeout").arg(CommandCatalogue::commandNames().value(command));
    case ObjectDown:
        return tr("the service withdrew the object");
    case LinkLost:
        return tr("the link to the service was lost");
    case NotSent:
        return reason.isEmpty() ? tr("the module sent no request")
                                : tr("the module sent no request (%1)").arg(reason);
    }
    return QString();
}
