#include "lineeditaccessible.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QValidator>

LineEditAccessible::LineEditAccessible(QLineEdit *edit) : QAccessibleWidget(edit, QAccessible::EditableText)
{
    addControllingSignal(QStringLiteral("textChanged(const QString&)"));
    addControllingSignal(QStringLiteral("returnPressed()"));
}

QLineEdit *LineEditAccessible::lineEdit() const
{
    return static_cast<QLineEdit *>(widget());
}

// Only a field that shows its text gives it away.
bool LineEditAccessible::hidden() const
{
    return lineEdit()->echoMode() != QLineEdit::Normal;
}

QString LineEditAccessible::text(QAccessible::Text t) const
{
    QString value;
    if (t == QAccessible::Value) {
        if (!hidden())
            value = lineEdit()->text();
        else if (lineEdit()->echoMode() != QLineEdit::NoEcho)
            value = QString(lineEdit()->text().size(), QLatin1Char('*'));
    }
    return value.isEmpty() ? QAccessibleWidget::text(t) : value;
}

void LineEditAccessible::setText(QAccessible::Text t, const QString &text)
{
    if (t == QAccessible::Value)
        setValue(text);
    else
        QAccessibleWidget::setText(t, text);
}

void LineEditAccessible::setValue(const QString &text)
{
    QString value = text;
    int position = 0;
    if (lineEdit()->validator() &&
        lineEdit()->validator()->validate(value, position) != QValidator::Acceptable)
        return;
    lineEdit()->setText(value);
}

QAccessible::State LineEditAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    if (lineEdit()->isReadOnly())
        state.readOnly = true;
    else
        state.editable = true;
    state.passwordEdit = hidden();
    state.selectableText = true;
    return state;
}

void *LineEditAccessible::interface_cast(QAccessible::InterfaceType t)
{
    if (t == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    if (t == QAccessible::EditableTextInterface && !lineEdit()->isReadOnly())
        return static_cast<QAccessibleEditableTextInterface *>(this);
    return QAccessibleWidget::interface_cast(t);
}

void LineEditAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || !lineEdit()->hasSelectedText())
        return;
    *startOffset = lineEdit()->selectionStart();
    *endOffset = *startOffset + lineEdit()->selectionLength();
}

int LineEditAccessible::selectionCount() const
{
    return lineEdit()->hasSelectedText() ? 1 : 0;
}

void LineEditAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void LineEditAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        lineEdit()->deselect();
}

void LineEditAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0)
        lineEdit()->setSelection(startOffset, endOffset - startOffset);
}

int LineEditAccessible::cursorPosition() const
{
    return lineEdit()->cursorPosition();
}

void LineEditAccessible::setCursorPosition(int position)
{
    lineEdit()->setCursorPosition(position);
}

QString LineEditAccessible::text(int startOffset, int endOffset) const
{
    if (startOffset > endOffset || hidden())
        return QString();
    return lineEdit()->text().mid(startOffset, endOffset - startOffset);
}

QString LineEditAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                             int *startOffset, int *endOffset) const
{
    if (hidden()) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    return QAccessibleTextInterface::textBeforeOffset(offset == -2 ? cursorPosition() : offset, boundaryType,
                                                      startOffset, endOffset);
}

QString LineEditAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int *startOffset, int *endOffset) const
{
    if (hidden()) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    return QAccessibleTextInterface::textAfterOffset(offset == -2 ? cursorPosition() : offset, boundaryType,
                                                     startOffset, endOffset);
}

QString LineEditAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                         int *startOffset, int *endOffset) const
{
    if (hidden()) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    return QAccessibleTextInterface::textAtOffset(offset == -2 ? cursorPosition() : offset, boundaryType,
                                                  startOffset, endOffset);
}

int LineEditAccessible::characterCount() const
{
    return int(lineEdit()->text().size());
}

QRect LineEditAccessible::characterRect(int offset) const
{
    const QString character = text(offset, offset + 1);
    if (character.isEmpty())
        return QRect();
    // The cursor's rectangle, padded alike on both sides of the cursor, is the one place
    // QLineEdit gives away where its scrolled text lies; the character's is measured from there.
    const QString shown = lineEdit()->displayText();
    const QFontMetrics metrics(lineEdit()->font());
    const QRect cursor = lineEdit()->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    const int x = cursor.center().x() + metrics.horizontalAdvance(shown.left(offset)) -
                  metrics.horizontalAdvance(shown.left(cursorPosition()));
    const QRect rect(x, cursor.y(), metrics.horizontalAdvance(character), metrics.height());
    return rect.translated(lineEdit()->mapToGlobal(QPoint(0, 0)));
}

int LineEditAccessible::offsetAtPoint(const QPoint &point) const
{
    return lineEdit()->cursorPositionAt(lineEdit()->mapFromGlobal(point));
}

void LineEditAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    lineEdit()->setCursorPosition(endIndex);
    lineEdit()->setCursorPosition(startIndex);
}

QString LineEditAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    // A line edit's text has no attributes: one run, of no attributes, over all of it.
    const int count = characterCount();
    if (offset < 0 || offset > count) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    *startOffset = 0;
    *endOffset = count;
    return QString();
}

void LineEditAccessible::deleteText(int startOffset, int endOffset)
{
    lineEdit()->setText(lineEdit()->text().remove(startOffset, endOffset - startOffset));
}

void LineEditAccessible::insertText(int offset, const QString &text)
{
    lineEdit()->setText(lineEdit()->text().insert(offset, text));
}

void LineEditAccessible::replaceText(int startOffset, int endOffset, const QString &text)
{
    lineEdit()->setText(lineEdit()->text().replace(startOffset, endOffset - startOffset, text));
}
