#pragma once

// Stand-in for the main window controller in the application-shell tests: the same
// surface the shell uses, and counters for what the tests must see happen.

#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QVBoxLayout>
#include <QWidget>

namespace tessaline {

class MainWindowController : public QObject {
    Q_OBJECT
public:
    static inline int created = 0;
    static inline int quotaReads = 0;

    explicit MainWindowController(QObject *parent = nullptr) : QObject(parent)
    {
        ++created;
        ++quotaReads; // the real controller starts its first quota read here
        mainWindow = new QWidget;
        mainWindow->setWindowTitle(QStringLiteral("Tessaline"));
        auto *layout = new QVBoxLayout(mainWindow);
        layout->addWidget(new QPlainTextEdit);   // something else to hold the focus
        input = new QPlainTextEdit;
        layout->addWidget(input);
    }
    ~MainWindowController() override { delete mainWindow; }

    QWidget *window() const { return mainWindow; }

    QPlainTextEdit *input = nullptr;

private:
    QPointer<QWidget> mainWindow;
};

} // namespace tessaline
