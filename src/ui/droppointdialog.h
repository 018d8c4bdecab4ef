#pragma once

#include "share/sharelifetime.h"

#include <QDialog>

class QComboBox;
class QDialogButtonBox;
class QSpinBox;

// "ファイルを受け取る": how long a drop point stays open and how much it takes in all. Shows the
// folder the files go to and who may send them, which the chat window decides.
class DropPointDialog : public QDialog
{
    Q_OBJECT

public:
    // The lifetimes offered, in this order; the first is the default.
    static constexpr ShareLifetime lifetimes[] = {ShareLifetime::OneHour, ShareLifetime::OneDay,
                                                  ShareLifetime::UntilEnd};
    static constexpr int defaultLimitGiB = 4;
    static constexpr int maxLimitGiB = 1024;

    DropPointDialog(const QString &folder, const QString &senders, QWidget *parent = nullptr);

    ShareLifetime lifetime() const;
    qint64 sizeLimit() const;
    QComboBox *lifetimeBox() const { return m_lifetime; }
    QSpinBox *limitBox() const { return m_limit; }
    QDialogButtonBox *buttons() const { return m_buttons; }

private:
    QComboBox *m_lifetime = nullptr;
    QSpinBox *m_limit = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
};
