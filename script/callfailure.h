#ifndef CALLFAILURE_H
#define CALLFAILURE_H

#include "remotoscriptexport.h"

#include <QtCore/QString>
#include <QtCore/QVariant>

// Why a call or subscription failed, read from the warning the module raised for it. A failure
// the answer's result code explains comes as the code's name and text,
// "INVALID_PARAM(Неверный блок параметров)", as RemotoResponse::errorString(true) writes it;
// the number is found again in the module's own result-code table, where the text tells apart
// the two codes named INVALID_PARAM. Any other warning ("INVOKE command timeout") is a reason
// without a code.
class REMOTOSCRIPT_EXPORT CallFailure
{
public:
    explicit CallFailure(const QString &warning);

    // -1 when the warning gives no result code.
    int code() const { return m_code; }
    QString codeName() const { return m_codeName; }
    // "INVALID_PARAM (4): Неверный блок параметров" for a result code, else the warning.
    QString toString() const;

    // Whether a call through a proxy's invoke() failed, judged by what it returned: a failed
    // call leaves the placeholder the module made for the answer, always null for a method
    // with a result (which `troubled`, a warning or the object going down meanwhile, tells
    // from a null result) and not null for a void method, whose answer holds no value.
    static bool callFailed(bool returnsValue, const QVariant &result, bool troubled)
    {
        return returnsValue ? result.isNull() && troubled : result.isValid();
    }

private:
    QString m_warning;
    int m_code = -1;
    QString m_codeName;
    QString m_codeText;
};

#endif
