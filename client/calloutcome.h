#ifndef CALLOUTCOME_H
#define CALLOUTCOME_H

#include <QtCore/QString>
#include <QtCore/QVariant>

// What became of a call or a subscription, and the words for a failure: the script library
// and remotoctl report in these, whichever connection the module has.
class CallOutcome
{
public:
    enum Kind {
        Succeeded,
        // The answer carried a result code other than OK, or (over a connection that is not
        // ours) the module gave a reason of its own.
        Failed,
        // The service said no without a result code: it has no such signal, or did not carry
        // out the call.
        Declined,
        // No answer within the time the module waits.
        TimedOut,
        // The service withdrew the object before it answered, or before the call.
        ObjectDown,
        // The link to the service was lost before the answer came.
        LinkLost,
        // The module sent no request: it found no such method, or no such object.
        NotSent,
    };

    CallOutcome() = default;
    // `command` is CommandCatalogue::Invoke or CommandCatalogue::SigConnect.
    CallOutcome(Kind kind, int command);

    // From the warning the module raised for a failed request, for a connection that is not
    // ours: a result code is written as RemotoResponse::errorString(true) writes it,
    // "INVALID_PARAM(Неверный блок параметров)", and found again in the module's own table,
    // where the text tells apart the two codes named INVALID_PARAM; any other warning ("INVOKE
    // command timeout") is a reason in the module's words.
    static CallOutcome fromWarning(Kind kind, int command, const QString &warning);

    bool isOk() const { return kind == Succeeded; }
    // "INVALID_PARAM (4): Неверный блок параметров" for a result code, and the words for each
    // other failure; empty for success.
    QString errorText() const;

    Kind kind = Succeeded;
    int command = 0;
    // What the method returned.
    QVariant value;
    // The answer's result code, or -1.
    int code = -1;
    // The module's own words: why it sent nothing, or a warning that named no result code.
    QString reason;
};

#endif
