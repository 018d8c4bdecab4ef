#include "recordingdesktopsignals.h"

void RecordingDesktopSignals::answerLast(quint32 id)
{
    if (!notifications.isEmpty())
        emit notificationShown(notifications.last().serial, id);
}
