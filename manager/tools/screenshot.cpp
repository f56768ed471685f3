// ovrin-manager-screenshot: shows the manager's main window as ovrin-manager does, waits until
// the server answers, selects "Options" (or the node at a path of captions, such as
// "Users/demo/Rules/Mailing lists") and saves a picture of the window.
// Usage: ovrin-manager-screenshot DIRECTORY OUTPUT.png [NODE-PATH]
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
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s DIRECTORY OUTPUT.png [NODE-PATH]\n", argv[0]);
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
    // Each node on the way is selected, as a click would, so that it builds its children.
    QStringList path = QString(argc == 4 ? argv[3] : "Options").split('/');
    QTreeWidgetItem* item = nullptr;
    for (const QString& caption : path) {
        QTreeWidgetItem* next = nullptr;
        int count = item ? item->childCount() : form.trvControl->topLevelItemCount();
        for (int i = 0; i < count && !next; ++i) {
            QTreeWidgetItem* child = item ? item->child(i) : form.trvControl->topLevelItem(i);
            if (child->text(0) == caption)
                next = child;
        }
        if (!next) {
            std::fprintf(stderr, "no node %s\n", caption.toUtf8().constData());
            return 1;
        }
        item = next;
        form.trvControl->setCurrentItem(item);
        form.trvControl->expandItem(item);
        application.processEvents(QEventLoop::AllEvents, 50);
    }
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
