#pragma once

#include "historyline.h"

#include <QString>
#include <functional>

class QIODevice;

// The history as text for people and programs: the copy of a list, and the exported files.
namespace HistoryExport {

enum class Format { Text, Csv };

// Local date and time where the line was kept: "yyyy-MM-dd HH:mm:ss".
QString dateTime(const HistoryLine &line);

// One line for the clipboard and the text file: date and time, name, text, TAB-separated. TABs
// and line breaks inside a field become spaces, so that each line stays one row of three fields.
QString textRow(const HistoryLine &line);

// RFC 4180: every field quoted, quotes doubled; the line ends with CR LF. A cell with text from
// people (name, address, text, recipients) that starts with = + - @ TAB or CR starts with a quote.
QString csvHeader();
QString csvRow(const HistoryLine &line);

// Writes every line the source hands to the visitor to device, UTF-8. The source returns false when
// it failed. Returns false when the source or the device failed.
using LineSource = std::function<bool(const std::function<bool(const HistoryLine &)> &visit)>;
bool write(QIODevice &device, Format format, const LineSource &source);

// Mode 0600 from the first byte, through a temporary file beside it: the file is replaced only
// once it is complete. Returns what failed, empty on success.
QString writeFile(const QString &path, Format format, const LineSource &source);

} // namespace HistoryExport
