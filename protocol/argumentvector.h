#ifndef ARGUMENTVECTOR_H
#define ARGUMENTVECTOR_H

#include <QtCore/QMetaMethod>
#include <QtCore/QVariant>

// The arguments of a call into a method, or of a signal raised, as QMetaObject::metacall() and
// QMetaObject::activate() take them: the return value's place first, then one pointer per
// argument to a value of exactly its parameter's type. The activation hands those pointers to
// code that reads each as its parameter's type, so a value is put in only once it has that
// type; a QVariant parameter takes the QVariant itself.
class ArgumentVector
{
public:
    // Arguments of one call or signal: QMetaMethod::invoke() takes no more, and neither end of
    // the link passes more.
    static constexpr int MaxArguments = 10;

    // Points at `values`, which must outlive the vector, after `convert(QVariant *, int type)`
    // has given each its parameter's type in place. False when their number is not the
    // method's or beyond MaxArguments (`refused` is then -1), or when a value of no known
    // type is wanted or `convert` refuses one (`refused` is then its index).
    template <typename Convert>
    bool fill(const QMetaMethod &method, QVariant *values, int count, Convert convert,
        int *refused = nullptr)
    {
        if (refused)
            *refused = -1;
        if (count > MaxArguments || count != method.parameterCount())
            return false;
        for (int i = 0; i < count; ++i) {
            const int type = method.parameterType(i);
            QVariant &value = values[i];
            if (type == QMetaType::QVariant) {
                m_argv[i + 1] = &value;
                continue;
            }
            if (type == QMetaType::UnknownType || !convert(&value, type)) {
                if (refused)
                    *refused = i;
                return false;
            }
            m_argv[i + 1] = value.data();
        }
        return true;
    }

    // Where the call puts what it returns; none by default.
    void setReturnPlace(void *place) { m_argv[0] = place; }
    void **data() { return m_argv; }

private:
    void *m_argv[MaxArguments + 1] = {};
};

#endif
