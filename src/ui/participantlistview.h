#pragma once

#include <QListView>

// The participant list's list box. Unlike the chat log's table, whose header takes time in
// proportion to its length for every removed row, a list view with uniform rows removes a row
// at once and lays out once per pass: a flood of leaves costs no more per leave at 65,536
// participants than at 10.
class ParticipantListView : public QListView
{
    Q_OBJECT

public:
    explicit ParticipantListView(QWidget *parent = nullptr);

    QList<int> selectedRows() const;
    QString selectedText() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
};
