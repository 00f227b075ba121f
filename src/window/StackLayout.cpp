#include "window/StackLayout.h"

#include <QWidget>

#include <algorithm>

namespace tessaline {

StackLayout::StackLayout(QWidget *parent) : QLayout(parent)
{
    setSpacing(0);
    setContentsMargins(0, 0, 0, 0);
}

StackLayout::~StackLayout()
{
    for (const Entry &e : entries)
        delete e.item;
}

void StackLayout::addArranged(QWidget *view, Width width)
{
    addChildWidget(view);
    entries.append({new QWidgetItemV2(view), width, -1});
    invalidate();
}

void StackLayout::setCustomSpacing(int space, QWidget *after)
{
    for (Entry &e : entries)
        if (e.item->widget() == after) {
            e.spaceAfter = space;
            invalidate();
            return;
        }
}

int StackLayout::customSpacingAfter(QWidget *view) const
{
    for (const Entry &e : entries)
        if (e.item->widget() == view)
            return e.spaceAfter >= 0 ? e.spaceAfter : commonSpacing();
    return -1;
}

void StackLayout::clearArranged()
{
    while (!entries.isEmpty()) {
        QLayoutItem *item = takeAt(0);
        if (QWidget *w = item->widget()) {
            // Out of the view tree at once; deleted later because the view may be the
            // button whose click is being handled right now.
            w->hide();
            w->setParent(nullptr);
            w->deleteLater();
        }
        delete item;
    }
}

QList<QWidget *> StackLayout::arrangedViews() const
{
    QList<QWidget *> views;
    for (const Entry &e : entries)
        if (QWidget *w = e.item->widget())
            views.append(w);
    return views;
}

bool StackLayout::fillsWidth(QWidget *view) const
{
    for (const Entry &e : entries)
        if (e.item->widget() == view)
            return e.width == Width::Fill;
    return false;
}

void StackLayout::addItem(QLayoutItem *item)
{
    entries.append({item, Width::Natural, -1});
    invalidate();
}

int StackLayout::count() const
{
    return int(entries.size());
}

QLayoutItem *StackLayout::itemAt(int index) const
{
    return index >= 0 && index < entries.size() ? entries.at(index).item : nullptr;
}

QLayoutItem *StackLayout::takeAt(int index)
{
    if (index < 0 || index >= entries.size())
        return nullptr;
    QLayoutItem *item = entries.takeAt(index).item;
    invalidate();
    return item;
}

int StackLayout::commonSpacing() const
{
    return std::max(0, spacing());
}

QSize StackLayout::sizeHint() const
{
    const QMargins m = contentsMargins();
    int width = 0;
    for (const Entry &e : entries)
        if (!e.item->isEmpty())
            width = std::max(width, e.item->sizeHint().width());
    width += m.left() + m.right();
    return {width, heightForWidth(width)};
}

QSize StackLayout::minimumSize() const
{
    // Only the width matters here: the height is always asked through heightForWidth, and a
    // tall minimum taken at the narrowest width would leave blank space at wider ones.
    const QMargins m = contentsMargins();
    int width = 0;
    for (const Entry &e : entries)
        if (!e.item->isEmpty())
            width = std::max(width, e.item->minimumSize().width());
    return {width + m.left() + m.right(), m.top() + m.bottom()};
}

int StackLayout::heightForWidth(int width) const
{
    if (width != cachedWidth) {
        cachedWidth = width;
        cachedHeight = arrange(QRect(0, 0, width, 0), false);
    }
    return cachedHeight;
}

void StackLayout::setGeometry(const QRect &rect)
{
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

void StackLayout::invalidate()
{
    cachedWidth = -1;
    cachedHeight = -1;
    QLayout::invalidate();
}

int StackLayout::arrange(const QRect &rect, bool apply) const
{
    const QMargins m = contentsMargins();
    const int inner = std::max(0, rect.width() - m.left() - m.right());
    int y = rect.y() + m.top();
    int pendingSpace = 0;
    bool first = true;
    for (const Entry &e : entries) {
        QLayoutItem *item = e.item;
        if (item->isEmpty())
            continue; // a hidden view takes its following space with it
        if (!first)
            y += pendingSpace;
        first = false;

        const QSize min = item->minimumSize();
        const QSize max = item->maximumSize();
        int w = e.width == Width::Fill ? inner : std::min(inner, item->sizeHint().width());
        w = std::clamp(w, min.width(), std::max(min.width(), max.width()));
        int h = item->hasHeightForWidth() ? item->heightForWidth(w) : item->sizeHint().height();
        h = std::clamp(h, min.height(), std::max(min.height(), max.height()));
        if (apply)
            item->setGeometry(QRect(rect.x() + m.left(), y, w, h));
        y += h;
        pendingSpace = e.spaceAfter >= 0 ? e.spaceAfter : commonSpacing();
    }
    return y - rect.y() + m.bottom();
}

} // namespace tessaline
