#pragma once

#include "filesharing.h"

#include <QWidget>

class QComboBox;
class QFontMetrics;
class QHBoxLayout;
class QLabel;

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
    // A chip's text within width pixels: "name (size)", the name cut in the middle when it does not
    // fit, and the name alone when even a short one leaves no room for the size.
    static QString chipText(const QString &name, const QString &size, const QFontMetrics &metrics, int width);

signals:
    void filesChanged();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void rebuild();
    // Shares the strip's width out among the chips' names.
    void fitNames();

    QList<File> m_files;
    QHBoxLayout *m_chips = nullptr;
    QList<QLabel *> m_names;
    QComboBox *m_lifetime = nullptr;
};
