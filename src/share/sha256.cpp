#include "sha256.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <unistd.h>
#include <utility>

namespace {

constexpr qint64 fileBlock = 1024 * 1024;

void check(int ok)
{
    // libcrypto fails here only when out of memory: nothing sensible is left to do.
    if (ok != 1)
        std::abort();
}

} // namespace

Sha256::Sha256() : m_context(EVP_MD_CTX_new())
{
    if (!m_context)
        std::abort();
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_context);
}

Sha256::Sha256(Sha256 &&other) noexcept : m_context(std::exchange(other.m_context, EVP_MD_CTX_new()))
{
    // The moved-from one stays usable, as an empty hash.
    other.reset();
}

Sha256 &Sha256::operator=(Sha256 &&other) noexcept
{
    std::swap(m_context, other.m_context);
    other.reset();
    return *this;
}

void Sha256::add(QByteArrayView bytes)
{
    if (!bytes.isEmpty())
        check(EVP_DigestUpdate(m_context, bytes.data(), size_t(bytes.size())));
}

QByteArray Sha256::result() const
{
    // Finishing a copy leaves this one open for more.
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    if (!copy)
        std::abort();
    check(EVP_MD_CTX_copy_ex(copy, m_context));
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    check(EVP_DigestFinal_ex(copy, reinterpret_cast<unsigned char *>(digest.data()), &length));
    EVP_MD_CTX_free(copy);
    digest.truncate(int(length));
    return digest;
}

void Sha256::reset()
{
    check(EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr));
}

Sha256::FileHashed Sha256::addFile(int fd, qint64 offset, qint64 length, const std::atomic_bool &cancelled)
{
    FileHashed hashed;
    QByteArray block(fileBlock, Qt::Uninitialized);
    while (length < 0 || hashed.bytes < length) {
        if (cancelled) {
            hashed.outcome = FileOutcome::Cancelled;
            return hashed;
        }
        const qint64 want = length < 0 ? fileBlock : std::min(fileBlock, length - hashed.bytes);
        const ssize_t got = ::pread(fd, block.data(), size_t(want), off_t(offset + hashed.bytes));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            hashed.outcome = FileOutcome::Failed;
            hashed.error = errno;
            return hashed;
        }
        if (got == 0)
            break;
        add(QByteArrayView(block.constData(), got));
        hashed.bytes += got;
    }
    return hashed;
}

QByteArray Sha256::hash(QByteArrayView bytes)
{
    Sha256 sha;
    sha.add(bytes);
    return sha.result();
}
