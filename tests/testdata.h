// Test data the suites share.
#pragma once

#include <QByteArray>

namespace testing {

// size bytes that look random and are the same for the same seed.
inline QByteArray pseudoRandom(qint64 size, quint32 seed)
{
    QByteArray data(int(size), Qt::Uninitialized);
    for (char& c : data) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    return data;
}

} // namespace testing
