#include "microhttpdlibrary.h"

#include <dlfcn.h>

namespace {

QString failureText(const char *file, const QString &reason)
{
    return QStringLiteral("ファイル共有に必要なライブラリ %1 を読み込めません（%2）。"
                          "パッケージ libmicrohttpd12 を入れてください。")
        .arg(QString::fromLocal8Bit(file), reason);
}

template <typename Function>
bool resolve(void *handle, const char *name, Function &function, QString *missing)
{
    function = reinterpret_cast<Function>(::dlsym(handle, name));
    if (!function)
        *missing = QStringLiteral("関数 %1 がありません").arg(QLatin1StringView(name));
    return function != nullptr;
}

struct Shared
{
    std::optional<MicrohttpdLibrary> library;
    QString error;
};

} // namespace

std::optional<MicrohttpdLibrary> MicrohttpdLibrary::load(const char *file, QString *error)
{
    void *handle = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *reason = ::dlerror();
        *error = failureText(file, reason ? QString::fromLocal8Bit(reason) : QStringLiteral("dlopen"));
        return std::nullopt;
    }
    MicrohttpdLibrary library;
    QString missing;
    const bool found =
        resolve(handle, "MHD_start_daemon", library.startDaemon, &missing) &&
        resolve(handle, "MHD_stop_daemon", library.stopDaemon, &missing) &&
        resolve(handle, "MHD_get_connection_info", library.getConnectionInfo, &missing) &&
        resolve(handle, "MHD_get_connection_values", library.getConnectionValues, &missing) &&
        resolve(handle, "MHD_lookup_connection_value", library.lookupConnectionValue, &missing) &&
        resolve(handle, "MHD_create_response_from_callback", library.createResponseFromCallback, &missing) &&
        resolve(handle, "MHD_create_response_from_buffer", library.createResponseFromBuffer, &missing) &&
        resolve(handle, "MHD_add_response_header", library.addResponseHeader, &missing) &&
        resolve(handle, "MHD_queue_response", library.queueResponse, &missing) &&
        resolve(handle, "MHD_destroy_response", library.destroyResponse, &missing) &&
        resolve(handle, "MHD_create_post_processor", library.createPostProcessor, &missing) &&
        resolve(handle, "MHD_post_process", library.postProcess, &missing) &&
        resolve(handle, "MHD_destroy_post_processor", library.destroyPostProcessor, &missing) &&
        resolve(handle, "MHD_suspend_connection", library.suspendConnection, &missing) &&
        resolve(handle, "MHD_resume_connection", library.resumeConnection, &missing);
    if (!found) {
        ::dlclose(handle);
        *error = failureText(file, missing);
        return std::nullopt;
    }
    return library;
}

const MicrohttpdLibrary *MicrohttpdLibrary::shared(QString *error)
{
    // Initialised once, under the lock C++ puts around a function's static.
    static const Shared loaded = [] {
        Shared result;
        result.library = load(fileName, &result.error);
        return result;
    }();
    if (!loaded.library) {
        *error = loaded.error;
        return nullptr;
    }
    return &*loaded.library;
}
