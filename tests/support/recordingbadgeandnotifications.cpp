#include "recordingbadgeandnotifications.h"

void RecordingBadgeAndNotifications::answerLast(quint32 id)
{
    if (!notifications.isEmpty())
        emit notificationShown(notifications.last().serial, id);
}
