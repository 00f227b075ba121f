#include "window/DescriptionEdit.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>


namespace tessaline {

namespace {

// Kept as a block's user state: the break that ends the block before it. A block Qt
// makes itself (undo, an input method) has state -1, a plain line feed.
constexpr int lineFeed = -1;
constexpr int paragraphSeparator = 1;
constexpr int carriageReturnLineFeed = 2;
constexpr int carriageReturn = 3;

QString breakText(int state)
{
    switch (state) {
    case paragraphSeparator: return QString(QChar::ParagraphSeparator);
    case carriageReturnLineFeed: return QStringLiteral("\r\n");
    case carriageReturn: return QStringLiteral("\r");
    default: return QStringLiteral("\n");
    }
}

} // namespace

DescriptionEdit::DescriptionEdit(QWidget *parent) : QPlainTextEdit(parent)
{
    // The text sits 4 points in from the sides and 6 from the top and bottom (the
    // document margin gives 4 all round, the viewport margins the other 2).
    document()->setDocumentMargin(4);
    setViewportMargins(0, 2, 0, 2);
    setTabChangesFocus(true);
}

QString DescriptionEdit::description() const
{
    QString text;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        if (block != document()->begin())
            text += breakText(block.userState());
        text += block.text(); // raw: no-break spaces and line separators as they are
    }
    return text;
}

void DescriptionEdit::setDescription(const QString &text)
{
    QTextCursor all(document());
    all.select(QTextCursor::Document);
    insertExact(all, text);
    moveCursor(QTextCursor::End);
}

void DescriptionEdit::insertExact(QTextCursor cursor, const QString &text)
{
    cursor.beginEditBlock();
    cursor.removeSelectedText();
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text.at(i);
        int state;
        const qsizetype end = i;
        if (ch == u'\n') {
            state = lineFeed;
        } else if (ch == QChar::ParagraphSeparator) {
            state = paragraphSeparator;
        } else if (ch == u'\r') {
            const bool pair = i + 1 < text.size() && text.at(i + 1) == u'\n';
            state = pair ? carriageReturnLineFeed : carriageReturn;
            i += pair ? 1 : 0;
        } else {
            continue;
        }
        cursor.insertText(text.mid(start, end - start));
        cursor.insertBlock();
        cursor.block().setUserState(state);
        start = i + 1;
    }
    cursor.insertText(text.mid(start));
    cursor.endEditBlock();
    setTextCursor(cursor);
}

void DescriptionEdit::keyPressEvent(QKeyEvent *event)
{
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (event->key() == Qt::Key_Tab && modifiers == Qt::ControlModifier) {
        insertExact(textCursor(), QStringLiteral("\t"));
        return;
    }
    // Return and Shift+Return both start a new line; Qt would make the second a line
    // separator, which reads the same but is sent as a different character.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && (modifiers == Qt::NoModifier || modifiers == Qt::ShiftModifier) && !isReadOnly()) {
        insertExact(textCursor(), QStringLiteral("\n"));
        ensureCursorVisible();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void DescriptionEdit::insertFromMimeData(const QMimeData *source)
{
    if (isReadOnly() || !source || !source->hasText())
        return;
    insertExact(textCursor(), source->text());
    ensureCursorVisible();
}

} // namespace tessaline
