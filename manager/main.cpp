// ovrin-manager: checks its SHA-1 before anything else, then shows the main window beside the
// service's files in its own directory.
#include <cstdio>

#include <QApplication>

#include "manager/dialogs.h"
#include "manager/globals.h"
#include "manager/manager_form.h"
#include "manager/sha1.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    application.setApplicationName("ovrin-manager");
    application.setQuitOnLastWindowClosed(true);
    try {
        Ovrin::SHA1SelfTest();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        Ovrin::Dialogs().Error(e.what());
        return 1;
    }
    Ovrin::SetManagerDirectory(QCoreApplication::applicationDirPath().toStdString());
    Ovrin::TManagerForm form;
    form.show();
    return application.exec();
}
