#pragma once

#include <QByteArray>
#include <QString>

// The first bytes of a small file, such as those of /proc and /sys; empty when it cannot be read.
QByteArray readSmallFile(const QString &path, qint64 limit = 4 * 1024 * 1024);
