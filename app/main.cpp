// corvanel: the viewer and evaluator.

#include "Application.h"
#include "Unit1.h"

#include <QString>

#include <exception>

int main(int argc, char** argv) {
    corvanel::app::Application application(argc, argv);
    try {
        corvanel::app::TForm1 form1;
        form1.showMaximized();
        application.exec();
    } catch (const std::exception& e) {
        application.showError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        application.showError(QString());
    }
    // 0 also after a failure at start-up: it has been shown.
    return 0;
}
