#include "randombytes.h"
#include "share/hashqueue.h"
#include "share/sha256.h"

#include <QRandomGenerator>
#include <QTest>

#include <chrono>
#include <future>
#include <vector>

namespace {

// A hang is a fault here (room counted wrongly, a worker that never wakes): give up after a while.
bool finishes(std::future<void> &work)
{
    return work.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
}

} // namespace

class TestHashQueue : public QObject
{
    Q_OBJECT

private slots:
    void streamsKeepTheirOrderUnderPressureAndGoOnAfterSettling();
    void abandonedStreamsGiveTheirRoomBack();
};

// Uploads fed at once from several server threads, with far less room than they would fill: each
// digest must be that of its own bytes in order, also when asked halfway (a resumable upload
// suspended between requests) and fed again after.
void TestHashQueue::streamsKeepTheirOrderUnderPressureAndGoOnAfterSettling()
{
    HashQueue queue(2, 3 * 1000, 5 * 1000);
    constexpr int streams = 6;
    std::vector<QByteArray> wholes;
    for (int i = 0; i < streams; ++i)
        wholes.push_back(randomBytes(200 * 1000 + i * 4, quint32(i + 1)));

    std::vector<std::future<void>> feeders;
    std::vector<QByteArray> halfway(streams), digests(streams);
    for (int i = 0; i < streams; ++i) {
        feeders.push_back(std::async(std::launch::async, [&, i] {
            const QByteArray &whole = wholes[size_t(i)];
            const qsizetype half = whole.size() / 2;
            HashQueue::Stream stream = queue.open(std::make_shared<Sha256>());
            // Pieces of uneven sizes, as the network hands them.
            for (qsizetype at = 0, size = 1; at < whole.size(); at += size, size = size % 1500 + 7) {
                if (at < half && at + size > half)
                    size = half - at;
                stream.add(whole.mid(at, size));
                if (at + size == half)
                    halfway[size_t(i)] = stream.settled()->result();
            }
            digests[size_t(i)] = stream.settled()->result();
        }));
    }
    for (int i = 0; i < streams; ++i) {
        QVERIFY2(finishes(feeders[size_t(i)]), "a stream never got room or never settled");
        const QByteArray &whole = wholes[size_t(i)];
        QCOMPARE(halfway[size_t(i)].toHex(), Sha256::hash(whole.first(whole.size() / 2)).toHex());
        QCOMPARE(digests[size_t(i)].toHex(), Sha256::hash(whole).toHex());
    }

    // A hash held between requests goes on in a new stream.
    auto held = std::make_shared<Sha256>();
    held->add(wholes[0].first(1000));
    HashQueue::Stream resumed = queue.open(held);
    resumed.add(wholes[0].sliced(1000));
    QCOMPARE(resumed.settled()->result().toHex(), Sha256::hash(wholes[0]).toHex());
}

// Connections that end mid-upload drop what waits for them, while a thread may still be hashing
// one of their pieces; the room they held must come back, or the next uploads wait for ever.
void TestHashQueue::abandonedStreamsGiveTheirRoomBack()
{
    constexpr qsizetype piece = 1024 * 1024;
    HashQueue queue(1, 4 * piece, 4 * piece);
    const QByteArray bytes = randomBytes(piece, 7);
    for (int round = 0; round < 20; ++round) {
        auto hash = std::make_shared<Sha256>();
        std::future<void> broken = std::async(std::launch::async, [&] {
            HashQueue::Stream stream = queue.open(hash);
            for (int i = 0; i < 4; ++i)
                stream.add(bytes);
        });
        QVERIFY(finishes(broken));
    }
    QByteArray digest;
    std::future<void> next = std::async(std::launch::async, [&] {
        HashQueue::Stream stream = queue.open(std::make_shared<Sha256>());
        for (int i = 0; i < 8; ++i)
            stream.add(bytes);
        digest = stream.settled()->result();
    });
    QVERIFY2(finishes(next), "the room of abandoned streams was not given back");
    QCOMPARE(digest.toHex(), Sha256::hash(bytes.repeated(8)).toHex());
}

QTEST_APPLESS_MAIN(TestHashQueue)
#include "tst_hashqueue.moc"
