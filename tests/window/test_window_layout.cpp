// The window's building blocks: the stack layout, the label factories and the reset lines.

#include "window/MainWindowController.h"
#include "window/StackView.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <limits>

using namespace tessaline;

class TestWindowLayout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stackSpacesViewsAndDropsHiddenOnes();
    void stackWidths();
    void headingUpperCasesFully_data();
    void headingUpperCasesFully();
    void resetLine_data();
    void resetLine();
};

namespace {

QWidget *fixedBox(int w, int h)
{
    auto *box = new QWidget;
    box->setFixedSize(w, h);
    return box;
}

} // namespace

void TestWindowLayout::stackSpacesViewsAndDropsHiddenOnes()
{
    StackView stack(10, QMargins(20, 20, 20, 20));
    QWidget *a = fixedBox(50, 10), *b = fixedBox(50, 20), *c = fixedBox(50, 30), *d = fixedBox(50, 5);
    for (QWidget *w : {a, b, c, d})
        stack.addArranged(w);
    stack.setCustomSpacing(2, a);
    stack.setCustomSpacing(14, c);
    stack.resize(300, 400);
    stack.show();
    QVERIFY(QTest::qWaitForWindowExposed(&stack));

    QCOMPARE(a->geometry().topLeft(), QPoint(20, 20));
    QCOMPARE(b->y() - a->geometry().bottom() - 1, 2);  // custom space replaces the common 10
    QCOMPARE(c->y() - b->geometry().bottom() - 1, 10);
    QCOMPARE(d->y() - c->geometry().bottom() - 1, 14);
    QCOMPARE(stack.stack()->heightForWidth(300), 20 + 10 + 2 + 20 + 10 + 30 + 14 + 5 + 20);

    // A hidden view leaves with the space after it: a is followed directly by d's predecessor spacing.
    c->hide();
    b->hide();
    stack.stack()->activate();
    QCOMPARE(d->y() - a->geometry().bottom() - 1, 2);
    QCOMPARE(stack.stack()->heightForWidth(300), 20 + 10 + 2 + 5 + 20);

    stack.clearArranged();
    QVERIFY(stack.arrangedViews().isEmpty());
    QCOMPARE(stack.stack()->heightForWidth(300), 40);
}

void TestWindowLayout::stackWidths()
{
    StackView stack(0, QMargins(12, 0, 12, 0));
    auto *natural = new QPushButton(QStringLiteral("Go"));
    auto *fill = new QPushButton(QStringLiteral("Go"));
    auto *wide = fixedBox(1000, 10);
    stack.addArranged(natural);
    stack.addArranged(fill, StackLayout::Width::Fill);
    stack.resize(300, 200);
    stack.show();
    QVERIFY(QTest::qWaitForWindowExposed(&stack));

    QCOMPARE(natural->width(), natural->sizeHint().width());
    QCOMPARE(natural->x(), 12); // leading edge
    QCOMPARE(fill->width(), 300 - 24);

    // A view that cannot shrink widens the stack's minimum rather than being squeezed.
    stack.addArranged(wide);
    QTRY_COMPARE(stack.stack()->minimumSize().width(), 1000 + 24);
}

void TestWindowLayout::headingUpperCasesFully_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ascii") << QStringLiteral("Task lints") << QStringLiteral("TASK LINTS");
    QTest::newRow("sharp s") << QStringLiteral("Straße") << QStringLiteral("STRASSE");
    QTest::newRow("ligature") << QStringLiteral("ﬁne") << QStringLiteral("FINE");
}

void TestWindowLayout::headingUpperCasesFully()
{
    QFETCH(QString, text);
    std::unique_ptr<QLabel> label(MainWindowController::heading(text));
    QTEST(label->text(), "shown");
}

void TestWindowLayout::resetLine_data()
{
    QTest::addColumn<qint64>("minutes");
    QTest::addColumn<double>("resetsAt");
    QTest::addColumn<QString>("line");
    const double now = 1765000000; // 2025-12-06 05:46:40 UTC
    QTest::newRow("past") << qint64(300) << now - 500 << QStringLiteral("resets now");
    QTest::newRow("under a minute") << qint64(300) << now + 59.9 << QStringLiteral("resets now");
    QTest::newRow("90.5 minutes") << qint64(300) << now + 90.5 * 60 << QStringLiteral("resets in 1h 30m");
    QTest::newRow("200 minutes") << qint64(300) << now + 200 * 60 << QStringLiteral("resets in 3h 20m");
    QTest::newRow("59 minutes") << qint64(300) << now + 59 * 60 << QStringLiteral("resets in 0h 59m");
    QTest::newRow("days not folded") << qint64(300) << now + 3000 * 60 << QStringLiteral("resets in 50h 0m");
    QTest::newRow("minutes overflow 64 bits") << qint64(300) << 1e300 << QStringLiteral("resets in the far future");
    QTest::newRow("a billion minutes") << qint64(300) << now + 60e9
                                       << QStringLiteral("resets in 16666666h 40m");
    QTest::newRow("not a number") << qint64(300) << std::numeric_limits<double>::quiet_NaN()
                                  << QStringLiteral("resets now");
    QTest::newRow("weekly date") << qint64(10080) << 1765238400.0 + 3600 << QStringLiteral("resets Dec 9");
    QTest::newRow("weekly past date") << qint64(10080) << 1704067200.0 << QStringLiteral("resets Jan 1");
    QTest::newRow("weekly beyond dates") << qint64(10080) << 1e300 << QStringLiteral("resets in the far future");
}

void TestWindowLayout::resetLine()
{
    QFETCH(qint64, minutes);
    QFETCH(double, resetsAt);
    QTEST(MainWindowController::resetLine(minutes, resetsAt, 1765000000), "line");
}

QTEST_MAIN(TestWindowLayout)
#include "test_window_layout.moc"
