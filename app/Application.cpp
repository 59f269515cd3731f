#include "app/Application.h"

#include "app/Logo.h"
#include "corvanel_version.h"

#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QStyle>
#include <QStyleFactory>

#include <exception>
#include <ostream>
#include <string_view>
#include <system_error>

namespace corvanel::app {

QString applicationTitle(const QString& executablePath) {
    const QString name = QFileInfo(executablePath).fileName();
    const qsizetype stop = name.indexOf(QLatin1Char('.'));
    return stop < 0 ? name : name.left(stop);
}

QString errorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
    return message;
}

namespace {

constexpr std::string_view kUsage =
    "Usage: corvanel [WORKSPACE]\n"
    "Shows handwritten page images with their ground-truth or result regions and scores the result.\n"
    "WORKSPACE holds images/, gt/{lines,words}/ and results/{lines,words}/ (or participants/NAME/);\n"
    "the page list shows WORKSPACE/images and a batch writes WORKSPACE/Results.txt. Without it,\n"
    "a program folder that holds images/ is the workspace and the list shows the images folder of\n"
    "the current directory; otherwise the program asks for a workspace. \"Open workspace...\"\n"
    "(Ctrl+O) opens another one at any time.\n"
    "\n"
    "Options:\n"
    "  -h, --help    Print this help and exit\n"
    "  --version     Print the version and exit\n";

bool isHelp(std::string_view a) { return a == "-h" || a == "--help"; }
bool isVersion(std::string_view a) { return a == "--version"; }

}  // namespace

bool answersWithoutWindow(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i)
        if (isHelp(argv[i]) || isVersion(argv[i])) return true;
    return false;
}

std::variant<Arguments, int> parseArguments(int argc, const char* const* argv, std::ostream& out,
                                            std::ostream& err) {
    Arguments args;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (isHelp(a)) {
            out << kUsage;
            return 0;
        }
        if (isVersion(a)) {
            out << "corvanel " CORVANEL_VERSION "\n";
            return 0;
        }
        if ((a.starts_with('-') && a != "-") || args.workspace) {
            err << "corvanel: unexpected argument '" << a << "'\n" << kUsage;
            return 2;
        }
        args.workspace = std::filesystem::path(argv[i]);
    }
    if (args.workspace) {
        std::error_code ec;
        if (!std::filesystem::is_directory(*args.workspace, ec)) {
            err << "corvanel: no workspace folder at " << args.workspace->string() << "\n";
            return 2;
        }
        args.workspace = std::filesystem::absolute(*args.workspace, ec).lexically_normal();
        if (args.workspace->has_filename() == false && args.workspace->has_parent_path())
            args.workspace = args.workspace->parent_path();
    }
    return args;
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(applicationTitle(applicationFilePath()));
    // The windows' fixed layout was drawn for classic Windows metrics: group
    // box captions on the frame line, sunken edit fields.
    if (QStyle* classic = QStyleFactory::create(QStringLiteral("Windows"))) setStyle(classic);
    setWindowIcon(QIcon(QPixmap::fromImage(drawIcon())));
    errorBox = [](const QString& caption, const QString& text) {
        QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
        box.exec();
    };
}

Application* Application::instance() { return dynamic_cast<Application*>(QCoreApplication::instance()); }

void Application::showError(const QString& message) {
    if (errorBox) errorBox(applicationName(), errorBoxText(message));
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        showError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        showError(QString());
    }
    return false;
}

}  // namespace corvanel::app
