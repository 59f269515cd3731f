#include "Application.h"

#include "Logo.h"

#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QStyle>
#include <QStyleFactory>

#include <exception>

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
