#pragma once

#include <QByteArray>
#include <QRandomGenerator>

// Bytes that compress to nothing, the same for the same seed; size a multiple of 4.
inline QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}
