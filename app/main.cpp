// corvanel: the viewer and evaluator.

#include "app/Application.h"
#include "app/Unit1.h"
#include "imaging/imagesize.h"

#include <QString>

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    using namespace corvanel::app;
    // Before Qt, which needs a display.
    if (answersWithoutWindow(argc, argv)) return std::get<int>(parseArguments(argc, argv, std::cout, std::cerr));
    corvanel::imaging::quietImageLibraries();
    Application application(argc, argv);
    const auto parsed = parseArguments(argc, argv, std::cout, std::cerr);
    if (const int* stop = std::get_if<int>(&parsed)) return *stop;
    const Arguments& args = std::get<Arguments>(parsed);
    try {
        TForm1 form1(nullptr, args.workspace.value_or(std::filesystem::path()), args.workspace.has_value());
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
