#pragma once

#include <QPlainTextEdit>

namespace tessaline {

// The task description editor. Its text goes out exactly as typed or pasted: a text
// document keeps no-break spaces and line separators but turns every paragraph separator,
// carriage return and line feed into the same block break, and toPlainText() then also
// replaces no-break spaces and line separators. So each block remembers which break
// began it. Tab and Shift+Tab move the focus on; Ctrl+Tab types a tab.
class DescriptionEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit DescriptionEdit(QWidget *parent = nullptr);

    // The text as typed or pasted, every character kept.
    QString description() const;
    // Replaces the whole text (undoably), keeping every character of `text`.
    void setDescription(const QString &text);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    void insertExact(QTextCursor cursor, const QString &text);
};

} // namespace tessaline
