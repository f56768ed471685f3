// ovrin-manager-screenshot: shows the manager's main window as ovrin-manager does, waits until
// the server answers, selects "Options" and saves a picture of the window.
// Usage: ovrin-manager-screenshot DIRECTORY OUTPUT.png
#include <cstdio>

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTreeWidget>

#include "manager/globals.h"
#include "manager/manager_form.h"
#include "manager/service_control.h"
#include "manager/sha1.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIRECTORY OUTPUT.png\n", argv[0]);
        return 2;
    }
    Ovrin::SHA1SelfTest();
    Ovrin::SetManagerDirectory(argv[1]);
    Ovrin::TManagerForm form;
    form.show();
    QElapsedTimer waited;
    waited.start();
    while ((!Ovrin::ServiceControl().IsRunning() || Ovrin::MailDirectory().empty()) && waited.elapsed() < 10000)
        application.processEvents(QEventLoop::AllEvents, 50);
    if (!Ovrin::ServiceControl().IsRunning()) {
        std::fprintf(stderr, "the server did not answer on the control port\n");
        return 1;
    }
    auto found = form.trvControl->findItems("Options", Qt::MatchExactly);
    if (!found.empty())
        form.trvControl->setCurrentItem(found.front());
    for (QElapsedTimer settle; !settle.isValid() || settle.elapsed() < 1500;) {
        if (!settle.isValid())
            settle.start();
        application.processEvents(QEventLoop::AllEvents, 50);
    }
    if (!form.grab().save(argv[2])) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
