#pragma once

#include <QApplication>
#include <QString>

#include <functional>

namespace corvanel::app {

// The application title: the executable's file name cut at its first full stop.
QString applicationTitle(const QString& executablePath);

// The error box's text: the message, with a full stop appended when it is not
// empty and its last character sorts after '.'.
QString errorBoxText(const QString& message);

// What escapes an event handler ends up here: notify() shows it in the error
// box and the event loop goes on.
class Application : public QApplication {
public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the error box for `message` (text rule applied) through errorBox.
    void showError(const QString& message);

    // Caption and final text of every error box; tests replace it.
    std::function<void(const QString& caption, const QString& text)> errorBox;

    // The running Application, or null when the process runs another kind.
    static Application* instance();
};

}  // namespace corvanel::app
