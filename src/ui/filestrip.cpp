#include "filestrip.h"

#include "share/sharelinks.h"

#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

FileStrip::FileStrip(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("fileStrip"));
    setAccessibleName(QStringLiteral("送るファイル"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    m_chips = new QHBoxLayout;
    m_chips->setSpacing(4);
    layout->addLayout(m_chips);
    layout->addStretch();
    m_lifetime = new QComboBox(this);
    m_lifetime->setObjectName(QStringLiteral("shareLifetime"));
    m_lifetime->setAccessibleName(QStringLiteral("共有する期間"));
    m_lifetime->setToolTip(QStringLiteral("送るファイルを共有する期間"));
    for (const ShareLifetime lifetime : shareLifetimes)
        m_lifetime->addItem(caption(lifetime), int(lifetime));
    m_lifetime->setCurrentIndex(m_lifetime->findData(int(defaultShareLifetime)));
    layout->addWidget(m_lifetime);
    hide();
}

QString FileStrip::refusal(const QString &path)
{
    const QFileInfo info(path);
    const QString name = info.fileName().isEmpty() ? path : info.fileName();
    if (!info.exists())
        return QStringLiteral("「%1」は見つからないため送れません。").arg(name);
    if (info.isDir())
        return QStringLiteral("「%1」はフォルダーのため送れません。送れるのはファイルだけです。"
                              "まとめて送るときは圧縮したファイルにしてください。")
            .arg(name);
    if (!info.isFile())
        return QStringLiteral("「%1」は通常のファイルではないため送れません。").arg(name);
    if (!info.isReadable())
        return QStringLiteral("「%1」は読み取りが許可されていないため送れません。"
                              "ファイルのアクセス権を確かめてください。")
            .arg(name);
    return {};
}

QStringList FileStrip::addFiles(const QStringList &paths)
{
    QStringList refusals;
    bool added = false;
    for (const QString &path : paths) {
        if (const QString why = refusal(path); !why.isEmpty()) {
            refusals.append(why);
            continue;
        }
        const QFileInfo info(path);
        const QString absolute = info.absoluteFilePath();
        if (std::any_of(m_files.cbegin(), m_files.cend(), [&](const File &f) { return f.path == absolute; }))
            continue;
        m_files.append({absolute, info.fileName(), info.size()});
        added = true;
    }
    if (added) {
        rebuild();
        emit filesChanged();
    }
    return refusals;
}

void FileStrip::removeAt(int index)
{
    if (index < 0 || index >= m_files.size())
        return;
    m_files.removeAt(index);
    rebuild();
    emit filesChanged();
}

void FileStrip::clear()
{
    if (m_files.isEmpty())
        return;
    m_files.clear();
    rebuild();
    emit filesChanged();
}

ShareLifetime FileStrip::lifetime() const
{
    return ShareLifetime(m_lifetime->currentData().toInt());
}

void FileStrip::rebuild()
{
    m_names.clear();
    while (QLayoutItem *item = m_chips->takeAt(0)) {
        if (QWidget *chip = item->widget()) {
            // The focus may sit on a remove button that goes now; it goes back to the input line.
            chip->hide();
            // Out of the strip at once; deleted later, since its button may be what called.
            chip->setParent(nullptr);
            chip->deleteLater();
        }
        delete item;
    }
    for (int i = 0; i < m_files.size(); ++i) {
        const File &file = m_files[i];
        auto *chip = new QWidget(this);
        chip->setObjectName(QStringLiteral("fileChip"));
        chip->setAccessibleName(QStringLiteral("送るファイル: %1").arg(file.name));
        chip->setToolTip(QStringLiteral("%1 (%2)").arg(file.path, ShareLinks::sizeText(file.size)));
        auto *chipLayout = new QHBoxLayout(chip);
        chipLayout->setContentsMargins(4, 0, 0, 0);
        chipLayout->setSpacing(2);
        auto *label = new QLabel(chip);
        label->setObjectName(QStringLiteral("fileName"));
        label->setTextFormat(Qt::PlainText);
        m_names.append(label);
        auto *remove = new QToolButton(chip);
        remove->setObjectName(QStringLiteral("removeFile"));
        remove->setText(QStringLiteral("×"));
        remove->setAutoRaise(true);
        remove->setAccessibleName(QStringLiteral("送るファイルから外す: %1").arg(file.name));
        remove->setToolTip(QStringLiteral("送るファイルから外す"));
        remove->setFocusPolicy(Qt::StrongFocus);
        chipLayout->addWidget(label);
        chipLayout->addWidget(remove);
        chip->setStyleSheet(
            QStringLiteral("#fileChip { border: 1px solid palette(mid); border-radius: 3px; }"));
        chip->setAttribute(Qt::WA_StyledBackground);
        m_chips->addWidget(chip);
        connect(remove, &QToolButton::clicked, this, [this, path = file.path] {
            for (int j = 0; j < m_files.size(); ++j) {
                if (m_files[j].path == path) {
                    removeAt(j);
                    return;
                }
            }
        });
    }
    fitNames();
    setVisible(!m_files.isEmpty());
}

void FileStrip::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    fitNames();
}

void FileStrip::fitNames()
{
    if (m_names.isEmpty())
        return;
    // What a chip needs besides its name: its margins, border and remove button.
    const int spacing = m_chips->spacing();
    const QWidget *firstChip = m_names.first()->parentWidget();
    const auto *remove = firstChip->findChild<QToolButton *>(QStringLiteral("removeFile"));
    const int chipFrame = 4 + 2 + 2 + (remove ? remove->sizeHint().width() : 0);
    const int forChips = width() - m_lifetime->sizeHint().width() - spacing * int(m_names.size() + 1);
    const int each = std::max(0, forChips / int(m_names.size()) - chipFrame);
    for (int i = 0; i < m_names.size() && i < m_files.size(); ++i) {
        QLabel *label = m_names[i];
        label->setText(
            chipText(m_files[i].name, ShareLinks::sizeText(m_files[i].size), label->fontMetrics(), each));
    }
}

QString FileStrip::chipText(const QString &name, const QString &size, const QFontMetrics &metrics, int width)
{
    const QString full = QStringLiteral("%1 (%2)").arg(name, size);
    if (metrics.horizontalAdvance(full) <= width)
        return full;
    // Cut in the middle, where names differ least; the extension stays readable.
    const QString sizePart = QStringLiteral(" (%1)").arg(size);
    const int forName = width - metrics.horizontalAdvance(sizePart);
    const QString shortName = metrics.elidedText(name, Qt::ElideMiddle, forName);
    // Fewer than a few characters of the name say nothing: the name alone is more use than the size.
    if (shortName.size() >= 6 && shortName.size() >= std::min<qsizetype>(name.size(), 6))
        return shortName + sizePart;
    return metrics.elidedText(name, Qt::ElideMiddle, width);
}
