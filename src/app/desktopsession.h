#pragma once

class QWidget;

// One Japanese UI font for Latin and Japanese alike, and the name the Windows peers' popup font
// goes by mapped to an installed font with its metrics.
void setUpApplicationFonts();

// SIGTERM, SIGINT and SIGHUP close the window like its close box, so the leaving sequence runs.
void closeOnTerminationSignals(QWidget *window);
