#include "historyexport.h"
#include "base/systemerror.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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

// A spreadsheet program runs a cell that starts with one of these as a formula (a peer's
// "=HYPERLINK(...)"); a quote in front makes it text, as OWASP advises for CSV files.
QString noFormula(const QString &field)
{
    static constexpr QStringView formulaStarts = u"=+-@\t\r";
    if (!field.isEmpty() && formulaStarts.contains(field.front()))
        return u'\'' + field;
    return field;
}

QString systemError(int error)
{
    return SystemError::text(error);
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
                                noFormula(line.name),
                                noFormula(line.address),
                                noFormula(line.text),
                                noFormula(line.recipients)};
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
    // A link is followed: the file it names is replaced, as an editor does.
    QString target = path;
    for (int depth = 0; depth < 32 && QFileInfo(target).isSymLink(); ++depth)
        target = QFileInfo(target).symLinkTarget();
    if (QFileInfo(target).exists() && !QFileInfo(target).isWritable())
        return QStringLiteral("%1 に書き込めません").arg(target);
    // The export holds the history's text: the user's alone from its first byte, as the history is
    // (QSaveFile makes it 0666 less the umask). Written beside the target and renamed over it once
    // complete, so that a failure leaves the previous file as it was.
    QByteArray temporary = QFile::encodeName(target) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
    if (fd < 0)
        return systemError(errno);
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        ::unlink(temporary.constData());
        return file.errorString();
    }
    const auto discard = [&](const QString &error) {
        file.close();
        ::unlink(temporary.constData());
        return error;
    };
    if (!write(file, format, source)) {
        const QString error = file.error() != QFileDevice::NoError ? file.errorString() : QString();
        return discard(error.isEmpty() ? QStringLiteral("the history could not be read") : error);
    }
    if (!file.flush())
        return discard(file.errorString());
    if (::fsync(fd) != 0)
        return discard(systemError(errno));
    file.close();
    if (::rename(temporary.constData(), QFile::encodeName(target).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return systemError(error);
    }
    return {};
}

} // namespace HistoryExport
