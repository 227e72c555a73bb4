#ifndef PROPERTYCHECK_H
#define PROPERTYCHECK_H

#include <QtCore/QMetaProperty>
#include <QtTest/QtTest>

// Hosts and scripts rely on these flags when they walk a class's properties: a value to read,
// never to write, reset or watch. Callers check QTest::currentTestFailed() afterwards.
inline void verifyPlainReadOnly(const QMetaProperty &property)
{
    QVERIFY(property.isReadable());
    QVERIFY(!property.isWritable());
    QVERIFY(!property.isResettable());
    QVERIFY(!property.hasNotifySignal());
    QVERIFY(!property.isConstant());
    QVERIFY(property.isDesignable());
    QVERIFY(property.isScriptable());
    QVERIFY(property.isStored());
}

#endif
