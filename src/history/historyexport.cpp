#include "historyexport.h"

#include <QDateTime>
#include <QSaveFile>
#include <QTimeZone>

namespace HistoryExport {

namespace {

QString oneLine(QString field)
{
    for (QChar &c : field) {
        if (c == u'\t' || c == u'\n' || c == u'\r')
            c = u' ';
    }
    return field;
}

QString quoted(QString field)
{
    field.replace(u'"', QStringLiteral("\"\""));
    return u'"' + field + u'"';
}

QString kindName(HistoryLine::Kind kind)
{
    switch (kind) {
    case HistoryLine::Kind::Chat: return QStringLiteral("chat");
    case HistoryLine::Kind::Join: return QStringLiteral("join");
    case HistoryLine::Kind::Leave: return QStringLiteral("leave");
    case HistoryLine::Kind::NetworkChange: return QStringLiteral("network");
    case HistoryLine::Kind::SentToSelected: return QStringLiteral("sent-to-selected");
    case HistoryLine::Kind::Gap: return QStringLiteral("gap");
    }
    return QString::number(int(kind));
}

} // namespace

QString dateTime(const HistoryLine &line)
{
    return QDateTime::fromMSecsSinceEpoch(line.timeMs, QTimeZone(line.utcOffset))
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString textRow(const HistoryLine &line)
{
    return dateTime(line) + u'\t' + oneLine(line.name) + u'\t' + oneLine(line.text);
}

QString csvHeader()
{
    return QStringLiteral("\"time\",\"utc_offset\",\"kind\",\"port\",\"selected_only\",\"name\",\"address\","
                          "\"text\",\"recipients\"\r\n");
}

QString csvRow(const HistoryLine &line)
{
    const QStringList fields = {dateTime(line),
                                QString::number(line.utcOffset),
                                kindName(line.kind),
                                QString::number(line.port),
                                line.selectedOnly ? QStringLiteral("1") : QStringLiteral("0"),
                                line.name,
                                line.address,
                                line.text,
                                line.recipients};
    QStringList cells;
    for (const QString &field : fields)
        cells.append(quoted(field));
    return cells.join(u',') + QStringLiteral("\r\n");
}

bool write(QIODevice &device, Format format, const LineSource &source)
{
    bool written = true;
    QByteArray buffer;
    const auto flush = [&] {
        written = written && device.write(buffer) == buffer.size();
        buffer.clear();
        return written;
    };
    if (format == Format::Csv)
        buffer = csvHeader().toUtf8();
    const bool complete = source([&](const HistoryLine &line) {
        buffer += (format == Format::Csv ? csvRow(line) : textRow(line) + u'\n').toUtf8();
        return buffer.size() < 1 << 16 || flush();
    });
    return complete && flush();
}

QString writeFile(const QString &path, Format format, const LineSource &source)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (!write(file, format, source)) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error.isEmpty() ? QStringLiteral("the history could not be read") : error;
    }
    if (!file.commit())
        return file.errorString();
    return {};
}

} // namespace HistoryExport
