#include "sha256.h"

// Only the types and constants: the functions come from dlopen.
#include <openssl/evp.h>

#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <optional>
#include <unistd.h>
#include <utility>

namespace {

constexpr qint64 fileBlock = 1024 * 1024;

struct Libcrypto
{
    decltype(&EVP_MD_CTX_new) contextNew = nullptr;
    decltype(&EVP_MD_CTX_free) contextFree = nullptr;
    decltype(&EVP_MD_CTX_copy_ex) contextCopy = nullptr;
    decltype(&EVP_sha256) sha256 = nullptr;
    decltype(&EVP_DigestInit_ex) init = nullptr;
    decltype(&EVP_DigestUpdate) update = nullptr;
    decltype(&EVP_DigestFinal_ex) final = nullptr;
};

template <typename Function> bool resolve(void *handle, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(::dlsym(handle, name));
    return function != nullptr;
}

// Loaded once, under the lock C++ puts around a function's static; nullptr without libcrypto 3.
const Libcrypto *libcrypto()
{
    static const std::optional<Libcrypto> loaded = []() -> std::optional<Libcrypto> {
        void *handle = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return std::nullopt;
        Libcrypto library;
        if (resolve(handle, "EVP_MD_CTX_new", library.contextNew) &&
            resolve(handle, "EVP_MD_CTX_free", library.contextFree) &&
            resolve(handle, "EVP_MD_CTX_copy_ex", library.contextCopy) &&
            resolve(handle, "EVP_sha256", library.sha256) &&
            resolve(handle, "EVP_DigestInit_ex", library.init) &&
            resolve(handle, "EVP_DigestUpdate", library.update) &&
            resolve(handle, "EVP_DigestFinal_ex", library.final))
            return library;
        ::dlclose(handle);
        return std::nullopt;
    }();
    return loaded ? &*loaded : nullptr;
}

void check(int ok)
{
    // libcrypto fails here only when out of memory: nothing sensible is left to do.
    if (ok != 1)
        std::abort();
}

evp_md_ctx_st *newContext(const Libcrypto &library)
{
    evp_md_ctx_st *context = library.contextNew();
    if (!context)
        std::abort();
    return context;
}

} // namespace

Sha256::Sha256(Backend backend)
{
    const Libcrypto *library = backend == Backend::Fastest ? libcrypto() : nullptr;
    if (library)
        m_context = newContext(*library);
    else
        m_fallback = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha256);
    reset();
}

Sha256::~Sha256()
{
    if (m_context)
        libcrypto()->contextFree(m_context);
}

Sha256::Sha256(Sha256 &&other) noexcept : Sha256()
{
    // The moved-from one stays usable, as an empty hash.
    std::swap(m_context, other.m_context);
    std::swap(m_fallback, other.m_fallback);
}

Sha256 &Sha256::operator=(Sha256 &&other) noexcept
{
    std::swap(m_context, other.m_context);
    std::swap(m_fallback, other.m_fallback);
    other.reset();
    return *this;
}

void Sha256::add(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    if (m_fallback)
        m_fallback->addData(bytes);
    else
        check(libcrypto()->update(m_context, bytes.data(), size_t(bytes.size())));
}

QByteArray Sha256::result() const
{
    if (m_fallback)
        return m_fallback->result();
    // Finishing a copy leaves this one open for more.
    const Libcrypto &library = *libcrypto();
    evp_md_ctx_st *copy = newContext(library);
    check(library.contextCopy(copy, m_context));
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    check(library.final(copy, reinterpret_cast<unsigned char *>(digest.data()), &length));
    library.contextFree(copy);
    digest.truncate(int(length));
    return digest;
}

void Sha256::reset()
{
    if (m_fallback)
        m_fallback->reset();
    else
        check(libcrypto()->init(m_context, libcrypto()->sha256(), nullptr));
}

bool Sha256::usesLibcrypto()
{
    return libcrypto() != nullptr;
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
