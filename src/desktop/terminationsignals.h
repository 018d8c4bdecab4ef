#pragma once

class QWidget;

// SIGTERM, SIGINT and SIGHUP close the window like its close box, so the leaving sequence runs.
void closeOnTerminationSignals(QWidget *window);
