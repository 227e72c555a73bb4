#ifndef NUMBERCONVERSION_H
#define NUMBERCONVERSION_H

#include <QtCore/QVariant>

namespace Wire {

// How a number becomes an argument of a numeric parameter type: without loss, or not at all.
// Integers keep their value exactly and must lie in the type's range; a double becomes an
// integer only when it is whole; an integer becomes a double or float only up to 2^53, where
// doubles start skipping some, and a text read as a double from 2^53 on, which may have lost
// its last digits, becomes no integer; a float takes what is within its range, infinities and
// NaN included, rounded to its precision. The service converts what a peer sends by it, and remotoctl what a user types,
// so that neither accepts what the other refuses.
class NumberConversion
{
public:
    // A number as it was given, before any conversion.
    struct Number
    {
        enum Kind { None, Signed, Unsigned, Real } kind = None;
        qint64 signedValue = 0;
        quint64 unsignedValue = 0;
        double realValue = 0;
        // A text read as a double from 2^53 on, where doubles skip whole numbers, may have lost
        // its last digits: "9007199254740993.0" reads as 9007199254740992.
        bool mayBeRounded = false;

        static Number ofSigned(qint64 value);
        // Values up to the largest qint64 are taken as signed, so each number has one form.
        static Number ofUnsigned(quint64 value);
        static Number ofReal(double value);
    };

    enum Outcome {
        Converted,
        NotANumber,
        OutOfRange,
        // A fraction for an integer type, or an integer beyond 2^53 for a floating-point one.
        Inexact,
    };

    // Whether `type` is one of the integer or floating-point types converted here.
    static bool isNumeric(int type);

    // The number a value holds: a value of one of Qt's numeric types, or text (a QString, or
    // UTF-8 in a QByteArray) that is one number as a whole, surrounding spaces aside, so that
    // "3x" and "" are none.
    static Number numberIn(const QVariant &value);

    // Puts the number into `value` as a `type`; `value` is left alone unless that is Converted.
    // NotANumber for a type that is not numeric.
    static Outcome convert(const Number &number, int type, QVariant *value);
};

} // namespace Wire

#endif
