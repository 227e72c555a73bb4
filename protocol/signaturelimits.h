#ifndef SIGNATURELIMITS_H
#define SIGNATURELIMITS_H

#include <QtCore/QByteArray>
#include <QtCore/QStringView>

// How long and how deeply bracketed a type name or signature from a peer may be before any of
// Qt's parsers sees it. QMetaObject::normalizedSignature(), QMetaType::type() and
// QVariant::nameToType() recurse once per bracket and take time that grows with the square of
// the nesting: a name nested some ten thousand deep blocks the process for seconds, one nested
// a hundred thousand deep overflows the stack. Real signatures stay far inside both limits
// ("f(QMap<QString,QList<QPair<int,int>>>)" is nested four deep); measuring a text costs one
// pass over at most MaxLength characters.
class SignatureLimits
{
public:
    // Bytes of a UTF-8 text, or UTF-16 code units of a QString.
    static constexpr int MaxLength = 1024;
    // Brackets of any kind, ( < [, open inside one another.
    static constexpr int MaxDepth = 8;

    static bool accepts(const QByteArray &text) { return measure(text.constData(), text.size()); }
    static bool accepts(QStringView text) { return measure(text.utf16(), text.size()); }

private:
    template <typename Char> static bool measure(const Char *text, qsizetype size)
    {
        if (size > MaxLength)
            return false;
        int depth = 0;
        for (qsizetype i = 0; i < size; ++i) {
            switch (text[i]) {
            case '(':
            case '<':
            case '[':
                if (++depth > MaxDepth)
                    return false;
                break;
            case ')':
            case '>':
            case ']':
                depth = depth > 0 ? depth - 1 : 0;
                break;
            default:
                break;
            }
        }
        return true;
    }
};

#endif
