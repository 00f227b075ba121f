#pragma once

#include <QHash>
#include <QLayout>
#include <QList>

namespace tessaline {

// A vertical stack that behaves like the window's design wants and QVBoxLayout does not:
// views keep their natural width unless asked to fill the stack, a custom space can follow
// any one view (replacing the common spacing, not adding to it), and hidden views are taken
// out of the flow together with the space that follows them. Height follows width, so
// wrapped labels get the height they need at the current width.
class StackLayout : public QLayout {
    Q_OBJECT
public:
    enum class Width { Natural, Fill };

    explicit StackLayout(QWidget *parent = nullptr);
    ~StackLayout() override;

    void addArranged(QWidget *view, Width width = Width::Natural);
    // Space in pixels between `view` and the next shown view; -1 restores the common spacing.
    void setCustomSpacing(int space, QWidget *after);
    int customSpacingAfter(QWidget *view) const;
    // Removes and deletes every arranged view.
    void clearArranged();
    QList<QWidget *> arrangedViews() const;
    bool fillsWidth(QWidget *view) const;

    void addItem(QLayoutItem *item) override;
    int count() const override;
    QLayoutItem *itemAt(int index) const override;
    QLayoutItem *takeAt(int index) override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    Qt::Orientations expandingDirections() const override { return Qt::Horizontal; }
    void setGeometry(const QRect &rect) override;
    void invalidate() override;

private:
    struct Entry {
        QLayoutItem *item = nullptr;
        Width width = Width::Natural;
        int spaceAfter = -1;
    };

    int commonSpacing() const;
    int arrange(const QRect &rect, bool apply) const;

    QList<Entry> entries;
    mutable int cachedWidth = -1;
    mutable int cachedHeight = -1;
};

} // namespace tessaline
