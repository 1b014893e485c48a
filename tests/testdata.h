// Test data the suites share.
#pragma once

#include <QByteArray>
#include <QtEndian>

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

// Loader files built from their published layout, all fields little-endian.
// A 16-byte block header: the signature 0xAD in byte 3, the checksum in byte
// 2 making the XOR of its 16 bytes 0.
inline QByteArray header16(quint32 code, quint32 address, quint32 count, quint32 argument)
{
    QByteArray h(16, '\0');
    qToLittleEndian<quint32>((code & 0xFFFF) | 0xAD000000u, h.data());
    qToLittleEndian<quint32>(address, h.data() + 4);
    qToLittleEndian<quint32>(count, h.data() + 8);
    qToLittleEndian<quint32>(argument, h.data() + 12);
    char sum = 0;
    for (char byte : h)
        sum ^= byte;
    h[2] = sum;
    return h;
}

// A BF53x block: address, count, flags; its payload unless ZEROFILL.
inline QByteArray block10(quint32 address, quint32 count, quint16 flags)
{
    QByteArray h(10, '\0');
    qToLittleEndian<quint32>(address, h.data());
    qToLittleEndian<quint32>(count, h.data() + 4);
    qToLittleEndian<quint16>(flags, h.data() + 8);
    return h + ((flags & 0x0001) ? QByteArray() : testing::pseudoRandom(count, 8));
}

} // namespace testing
