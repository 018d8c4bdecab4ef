// Arbitrary address and mask texts for the broadcast address, the mask check and the answer delay.
// The input is the own address, a NUL, the mask (code page 932, as set.txt holds it); without a
// NUL the mask is the fixed 255.255.255.0.
#include "fuzzsupport.h"

#include "app/broadcast.h"
#include "base/cp932.h"
#include "net/participants.h"

#include <cstdint>

namespace {

bool isDecimalByte(const QString &part)
{
    if (part.isEmpty() || part.size() > 3)
        return false;
    for (const QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return part.toInt() <= 255;
}

void checkBroadcast(const QString &address, const QString &mask)
{
    const BroadcastResult result = s_broadcast(address, mask);
    const QStringList ownParts = address.isEmpty() ? QStringList() : address.split(QLatin1Char('.'));
    const QStringList maskParts = mask.isEmpty() ? QStringList() : mask.split(QLatin1Char('.'));
    const QStringList parts =
        result.address.isEmpty() ? QStringList() : result.address.split(QLatin1Char('.'));

    FUZZ_CHECK(parts.size() <= 4, "[%s]", fuzzShow(result.address).constData());
    for (int i = 0; i < parts.size(); ++i) {
        FUZZ_CHECK(
            parts.at(i) == QStringLiteral("255") || (i < ownParts.size() && parts.at(i) == ownParts.at(i)),
            "part %d of [%s] is neither the own part nor 255", i + 1, fuzzShow(result.address).constData());
    }
    if (!result.error) {
        FUZZ_CHECK(maskParts.size() >= 4, "no error with a mask of %d parts", int(maskParts.size()));
        QStringList expected;
        for (int i = 0; i < 4; ++i) {
            if (maskParts.at(i) == QStringLiteral("255")) {
                FUZZ_CHECK(i < ownParts.size(), "part %d of [%s] taken but missing", i + 1,
                           fuzzShow(address).constData());
                expected.append(ownParts.at(i));
            } else {
                expected.append(QStringLiteral("255"));
            }
        }
        FUZZ_CHECK(result.address == expected.join(QLatin1Char('.')), "[%s] + [%s] -> [%s]",
                   fuzzShow(address).constData(), fuzzShow(mask).constData(),
                   fuzzShow(result.address).constData());
    } else {
        FUZZ_CHECK(!result.error->isEmpty());
        // It fails only for a missing part: of the mask, or of the address where the mask keeps it.
        bool missing = maskParts.size() < 4;
        for (int i = 0; i < std::min<qsizetype>(4, maskParts.size()); ++i) {
            if (maskParts.at(i) == QStringLiteral("255") && i >= ownParts.size())
                missing = true;
        }
        FUZZ_CHECK(missing, "[%s] + [%s] failed: %s", fuzzShow(address).constData(),
                   fuzzShow(mask).constData(), qPrintable(*result.error));
    }

    // What a machine can actually have: a dotted-quad address and a valid mask never fail, and the
    // result is itself a dotted quad of numbers up to 255.
    bool dottedQuad = ownParts.size() == 4;
    for (const QString &part : ownParts)
        dottedQuad = dottedQuad && isDecimalByte(part);
    if (dottedQuad && isValidSubnetMask(mask)) {
        FUZZ_CHECK(!result.error, "[%s] + [%s] failed: %s", fuzzShow(address).constData(),
                   fuzzShow(mask).constData(), qPrintable(*result.error));
        FUZZ_CHECK(parts.size() == 4);
        for (const QString &part : parts)
            FUZZ_CHECK(isDecimalByte(part), "[%s]", fuzzShow(result.address).constData());
    }
}

void checkMask(const QString &mask)
{
    if (!isValidSubnetMask(mask))
        return;
    const QStringList parts = mask.split(QLatin1Char('.'));
    FUZZ_CHECK(parts.size() == 4, "[%s]", fuzzShow(mask).constData());
    for (const QString &part : parts) {
        bool ok = false;
        const int value = part.toInt(&ok);
        FUZZ_CHECK(ok && value >= 0 && value <= 255, "[%s]", fuzzShow(mask).constData());
    }
}

// Ten milliseconds per unit of the last address part; nothing sensible gives a negative wait.
void checkAnswerDelay(const QString &address)
{
    const int delay = Participants::answerDelayMs(address);
    FUZZ_CHECK(delay >= 0, "[%s] -> %d", fuzzShow(address).constData(), delay);
    const QStringList parts = address.split(QLatin1Char('.'));
    if (parts.size() >= 4 && isDecimalByte(parts.at(3)))
        FUZZ_CHECK(delay == parts.at(3).toInt() * 10, "[%s] -> %d", fuzzShow(address).constData(), delay);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype nul = bytes.indexOf('\0');
    const QString address = QString::fromLatin1(nul < 0 ? bytes : bytes.left(nul));
    const QString mask = nul < 0 ? QStringLiteral("255.255.255.0") : Cp932::decode(bytes.mid(nul + 1));

    checkBroadcast(address, mask);
    checkBroadcast(mask, address);
    checkMask(mask);
    checkMask(address);
    checkAnswerDelay(address);
    checkAnswerDelay(mask);

    // Four numbers from 0 to 255 written plainly always make a valid mask.
    if (size >= 4) {
        const QString plain =
            QStringLiteral("%1.%2.%3.%4").arg(data[0]).arg(data[1]).arg(data[2]).arg(data[3]);
        FUZZ_CHECK(isValidSubnetMask(plain), "[%s]", qPrintable(plain));
        checkBroadcast(plain, plain);
    }
    return 0;
}
