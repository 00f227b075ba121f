#pragma once

#include "window/StackLayout.h"

#include <QWidget>

namespace tessaline {

// A widget laid out by a StackLayout: the window's vertical stacks (quota rows, results,
// run panel, the content itself). A bordered stack draws a rounded separator-coloured frame.
class StackView : public QWidget {
    Q_OBJECT
public:
    explicit StackView(int spacing, QMargins insets = {}, QWidget *parent = nullptr);

    StackLayout *stack() const { return layout_; }
    void addArranged(QWidget *view, StackLayout::Width width = StackLayout::Width::Natural)
    {
        layout_->addArranged(view, width);
    }
    void setCustomSpacing(int space, QWidget *after) { layout_->setCustomSpacing(space, after); }
    QList<QWidget *> arrangedViews() const { return layout_->arrangedViews(); }
    void clearArranged() { layout_->clearArranged(); }

    void setBordered(bool bordered);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    StackLayout *layout_;
    bool bordered = false;
};

} // namespace tessaline
