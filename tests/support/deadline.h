#pragma once

// Deadlines of the tests, stretched on slow builds: TARVESSA_TEST_TIME_FACTOR (default 1; the
// sanitizer runs set it) multiplies every time a test waits for something. The product's own
// timings under test are never stretched. Needs only QtCore and QtTest.
#include <QTest>
#include <QtGlobal>

// A deadline of `ms` milliseconds, stretched; a factor below 1 or unreadable counts as 1.
inline int deadline(int ms)
{
    static const double factor = [] {
        bool ok = false;
        const double read = qEnvironmentVariable("TARVESSA_TEST_TIME_FACTOR").toDouble(&ok);
        return ok && read > 1 ? read : 1.0;
    }();
    return static_cast<int>(ms * factor);
}

// Qt's QTRY_* without a timeout wait 5 s: stretched like every other deadline.
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, deadline(5000))
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT(expr, expected, deadline(5000))
