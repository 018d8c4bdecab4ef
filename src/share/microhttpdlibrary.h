#pragma once

#include <QString>
#include <microhttpd.h>
#include <optional>

// The functions of libmicrohttpd that the share server calls, looked up at run time: linking the
// library would map it and its TLS stack (gnutls, nettle, gmp, p11-kit, ...) at every start, although
// the server only starts once the history has opened. Only the types and constants of <microhttpd.h>
// are used at build time.
struct MicrohttpdLibrary
{
    decltype(&MHD_start_daemon) startDaemon = nullptr;
    decltype(&MHD_stop_daemon) stopDaemon = nullptr;
    decltype(&MHD_get_connection_info) getConnectionInfo = nullptr;
    decltype(&MHD_get_connection_values) getConnectionValues = nullptr;
    decltype(&MHD_lookup_connection_value) lookupConnectionValue = nullptr;
    decltype(&MHD_create_response_from_callback) createResponseFromCallback = nullptr;
    decltype(&MHD_create_response_from_buffer) createResponseFromBuffer = nullptr;
    decltype(&MHD_add_response_header) addResponseHeader = nullptr;
    decltype(&MHD_queue_response) queueResponse = nullptr;
    decltype(&MHD_destroy_response) destroyResponse = nullptr;
    decltype(&MHD_create_post_processor) createPostProcessor = nullptr;
    decltype(&MHD_post_process) postProcess = nullptr;
    decltype(&MHD_destroy_post_processor) destroyPostProcessor = nullptr;
    decltype(&MHD_suspend_connection) suspendConnection = nullptr;
    decltype(&MHD_resume_connection) resumeConnection = nullptr;

    static constexpr const char *fileName = "libmicrohttpd.so.12";

    // Loads the file and every function above; on success the file stays loaded for good. Otherwise
    // nullopt and, in *error, the text for the user naming what is missing.
    static std::optional<MicrohttpdLibrary> load(const char *file, QString *error);
    // libmicrohttpd.so.12, loaded by the first call from whichever thread; later calls give the same
    // functions, or nullptr and the same failure's text.
    static const MicrohttpdLibrary *shared(QString *error);
};
