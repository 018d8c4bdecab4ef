#include "recordingmessagebox.h"

void RecordingMessageBox::critical(QWidget *, const QString &title, const QString &text)
{
    shown.append({title, text});
    if (onShow)
        onShow();
}
