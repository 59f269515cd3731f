#pragma once

#include <QApplication>
#include <QString>

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <variant>

namespace corvanel::app {

// The application title: the executable's file name cut at its first full stop.
QString applicationTitle(const QString& executablePath);

// The error box's text: the message, with a full stop appended when it is not
// empty and its last character sorts after '.'.
QString errorBoxText(const QString& message);

// corvanel [WORKSPACE]: the workspace folder, if one is named; an exit code
// when the program should stop here (usage shown, or a bad argument
// reported on err). Give it the arguments Qt left; the names stay bytes.
struct Arguments {
    std::optional<std::filesystem::path> workspace;
};
std::variant<Arguments, int> parseArguments(int argc, const char* const* argv, std::ostream& out,
                                            std::ostream& err);
// Whether the command line asks for the usage or the version, which need no display.
bool answersWithoutWindow(int argc, const char* const* argv);

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
