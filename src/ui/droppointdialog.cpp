#include "droppointdialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <iterator>

DropPointDialog::DropPointDialog(const QString &folder, const QString &senders, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("DropPointDialog"));
    setWindowTitle(QStringLiteral("ファイルを受け取る"));
    setAccessibleName(QStringLiteral("ファイルを受け取る"));

    auto *intro = new QLabel(QStringLiteral("受け取り口のリンクをチャットに送ります。リンクを開いた相手は、"
                                            "ブラウザーや curl でファイルを送れます。"),
                             this);
    intro->setWordWrap(true);
    intro->setTextFormat(Qt::PlainText);

    // The folder and the names are shown as they are: a participant's name is anybody's text.
    auto *folderLabel = new QLabel(QDir::toNativeSeparators(folder), this);
    folderLabel->setObjectName(QStringLiteral("folder"));
    folderLabel->setTextFormat(Qt::PlainText);
    folderLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    folderLabel->setWordWrap(true);
    auto *sendersLabel = new QLabel(senders, this);
    sendersLabel->setObjectName(QStringLiteral("senders"));
    sendersLabel->setTextFormat(Qt::PlainText);
    sendersLabel->setWordWrap(true);

    m_lifetime = new QComboBox(this);
    m_lifetime->setObjectName(QStringLiteral("lifetime"));
    m_lifetime->setAccessibleName(QStringLiteral("有効期間"));
    for (const ShareLifetime lifetime : lifetimes)
        m_lifetime->addItem(caption(lifetime));
    m_limit = new QSpinBox(this);
    m_limit->setObjectName(QStringLiteral("sizeLimit"));
    m_limit->setAccessibleName(QStringLiteral("受け取る量の上限 (GiB)"));
    m_limit->setRange(1, maxLimitGiB);
    m_limit->setValue(defaultLimitGiB);
    m_limit->setSuffix(QStringLiteral(" GiB"));

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("保存先:"), folderLabel);
    form->addRow(QStringLiteral("送れる人:"), sendersLabel);
    form->addRow(QStringLiteral("有効期間(&L):"), m_lifetime);
    form->addRow(QStringLiteral("上限(&M):"), m_limit);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("リンクを送る"));
    m_buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("キャンセル"));
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(form);
    layout->addWidget(m_buttons);
    setMinimumWidth(420);
    m_lifetime->setFocus();
}

ShareLifetime DropPointDialog::lifetime() const
{
    const int index = m_lifetime->currentIndex();
    return index >= 0 && index < int(std::size(lifetimes)) ? lifetimes[index] : lifetimes[0];
}

qint64 DropPointDialog::sizeLimit() const
{
    return qint64(m_limit->value()) * 1024 * 1024 * 1024;
}
