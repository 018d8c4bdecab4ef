#pragma once

class QWidget;

// Asks the window manager to mark the window (a task bar entry, a notice), or withdraws it.
// Qt asks for nothing while it still counts a minimized window as the active one, which X11
// window managers leave so when no other window takes the focus; on X11 the request is sent
// directly, elsewhere through Qt.
void setDemandsAttention(QWidget *window, bool on);
