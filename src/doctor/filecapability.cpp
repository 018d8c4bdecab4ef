#include "filecapability.h"

#include <QtEndian>

namespace {

constexpr quint32 revisionMask = 0xFF000000;
constexpr quint32 revision1 = 0x01000000;
constexpr quint32 revision2 = 0x02000000;
constexpr quint32 revision3 = 0x03000000;
constexpr quint32 effective = 0x000001;
constexpr int netBindService = 10;

quint32 word(const QByteArray &bytes, int index)
{
    return qFromLittleEndian<quint32>(bytes.constData() + 4 * index);
}

} // namespace

namespace FileCapability {

bool grantsBindService(const QByteArray &data)
{
    if (data.size() < 8)
        return false;
    const quint32 magic = word(data, 0);
    const quint32 revision = magic & revisionMask;
    // Revision 1 holds one 32-bit set, 2 two, 3 two and the owner of the user namespace.
    const qsizetype expected = revision == revision1   ? 12
                               : revision == revision2 ? 20
                               : revision == revision3 ? 24
                                                       : -1;
    if (expected < 0 || data.size() < expected)
        return false;
    const quint32 permitted = word(data, 1);
    return (magic & effective) && (permitted & (1u << netBindService));
}

} // namespace FileCapability
