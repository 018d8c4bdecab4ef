#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <atomic>
#include <memory>

class QCryptographicHash;
struct evp_md_ctx_st;

// SHA-256 through OpenSSL's libcrypto, which uses the CPU's SHA instructions: a file of gigabytes
// is hashed at the speed it is read. libcrypto is loaded when the first hash is made, not at the
// program's start; without it, Qt's own SHA-256 gives the same digests, three to six times slower.
// Incremental; movable, not copyable.
class Sha256
{
public:
    // Fastest: libcrypto when it can be loaded, else Qt's. QtOnly: Qt's, whatever is installed.
    enum class Backend { Fastest, QtOnly };
    explicit Sha256(Backend backend = Backend::Fastest);
    ~Sha256();
    Sha256(Sha256 &&other) noexcept;
    Sha256 &operator=(Sha256 &&other) noexcept;
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void add(QByteArrayView bytes);
    // The 32-byte digest of everything added since the start or the last reset(); adding may go on.
    QByteArray result() const;
    void reset();

    enum class FileOutcome { Done, Failed, Cancelled };
    struct FileHashed
    {
        FileOutcome outcome = FileOutcome::Done;
        qint64 bytes = 0; // added from the file
        int error = 0;    // errno when Failed
    };
    // Adds the bytes of the open file fd from offset on, in blocks of 1 MiB read with pread(), up to
    // length bytes (-1: to the end of the file); cancelled is looked at between blocks.
    FileHashed addFile(int fd, qint64 offset, qint64 length, const std::atomic_bool &cancelled);

    static QByteArray hash(QByteArrayView bytes);
    // Whether libcrypto was found (loaded on the first call).
    static bool usesLibcrypto();

private:
    evp_md_ctx_st *m_context = nullptr;
    std::unique_ptr<QCryptographicHash> m_fallback;
};
