#pragma once

#include "filesharing.h"

#include <QWidget>

class QComboBox;
class QHBoxLayout;

// The files waiting to be sent with the next line: one chip each (name, size, a remove button)
// and the lifetime they will be shared for. Hidden while empty.
class FileStrip : public QWidget
{
    Q_OBJECT

public:
    struct File
    {
        QString path;
        QString name;
        qint64 size = 0;
    };

    explicit FileStrip(QWidget *parent = nullptr);

    // Why the file cannot be shared ("フォルダーは送れません", ...), or an empty string.
    static QString refusal(const QString &path);
    // Adds the files that can be shared and are not waiting yet; returns a message for each one
    // that cannot.
    QStringList addFiles(const QStringList &paths);
    void removeAt(int index);
    void clear();
    const QList<File> &files() const { return m_files; }
    ShareLifetime lifetime() const;
    QComboBox *lifetimeBox() const { return m_lifetime; }

signals:
    void filesChanged();

private:
    void rebuild();

    QList<File> m_files;
    QHBoxLayout *m_chips = nullptr;
    QComboBox *m_lifetime = nullptr;
};
