#include "sessionbusprobe.h"

#include <condition_variable>
#include <cstring>
#include <dbus/dbus.h>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace SessionBusProbe {

namespace {

struct Outcome
{
    std::mutex mutex;
    std::condition_variable told;
    std::optional<Answer> answer;
};

Answer converse(const QByteArray &address, std::chrono::milliseconds deadline)
{
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *connection = dbus_connection_open_private(address.constData(), &error);
    if (!connection) {
        dbus_error_free(&error);
        return Answer::Unreachable;
    }
    dbus_connection_set_exit_on_disconnect(connection, false);
    DBusMessage *hello =
        dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello");
    Answer answer = Answer::Unreachable;
    if (hello) {
        // The authentication runs inside this call, so the timeout covers it as well.
        DBusMessage *reply =
            dbus_connection_send_with_reply_and_block(connection, hello, int(deadline.count()), &error);
        if (reply) {
            answer = Answer::Greets;
            dbus_message_unref(reply);
        } else if (dbus_error_has_name(&error, DBUS_ERROR_NO_REPLY) ||
                   dbus_error_has_name(&error, DBUS_ERROR_TIMEOUT)) {
            answer = Answer::Silent;
        } else if (!dbus_error_has_name(&error, DBUS_ERROR_DISCONNECTED) &&
                   !dbus_error_has_name(&error, DBUS_ERROR_NO_SERVER)) {
            answer = Answer::Greets; // an error reply is an answer
        }
        dbus_error_free(&error);
        dbus_message_unref(hello);
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return answer;
}

} // namespace

bool askable(const QByteArray &address)
{
    DBusAddressEntry **entries = nullptr;
    int count = 0;
    DBusError error;
    dbus_error_init(&error);
    if (!dbus_parse_address(address.constData(), &entries, &count, &error)) {
        dbus_error_free(&error);
        return false;
    }
    bool local = count > 0;
    for (int i = 0; i < count && local; ++i) {
        local = std::strcmp(dbus_address_entry_get_method(entries[i]), "unix") == 0 &&
                (dbus_address_entry_get_value(entries[i], "path") ||
                 dbus_address_entry_get_value(entries[i], "abstract"));
    }
    dbus_address_entries_free(entries);
    return local;
}

Answer ask(const QByteArray &address, std::chrono::milliseconds deadline)
{
    // libdbus connects with a blocking connect(), which a bus whose listen queue is full keeps
    // waiting: the probe runs on a thread of its own that is left behind when it overstays.
    auto outcome = std::make_shared<Outcome>();
    std::thread([outcome, address, deadline] {
        const Answer answer = converse(address, deadline);
        const std::lock_guard lock(outcome->mutex);
        outcome->answer = answer;
        outcome->told.notify_all();
    }).detach();
    std::unique_lock lock(outcome->mutex);
    // A little beyond libdbus's own timeout, which it measures from after the connect.
    if (!outcome->told.wait_for(lock, deadline + std::chrono::milliseconds(50),
                                [&outcome] { return outcome->answer.has_value(); }))
        return Answer::Silent;
    return *outcome->answer;
}

} // namespace SessionBusProbe
