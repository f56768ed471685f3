// ovrin-manager-screenshot: shows the manager's main window as ovrin-manager does, waits until
// the server answers, selects "Options" (or the node at a path of captions, such as
// "Users/demo/Rules/Mailing lists"), expands the nodes at the further paths, and saves a picture
// of the window. A message list shown gets its first (newest) message selected and previewed.
// Usage: ovrin-manager-screenshot DIRECTORY OUTPUT.png [NODE-PATH [EXPAND-PATH...]]
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
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIRECTORY OUTPUT.png [NODE-PATH [EXPAND-PATH...]]\n", argv[0]);
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
    // The node at a path of captions; each node on the way is selected, as a click would, so that
    // it builds its children, unless only expanding.
    auto walk = [&](const QString& path, bool select) -> QTreeWidgetItem* {
        QTreeWidgetItem* item = nullptr;
        for (const QString& caption : path.split('/')) {
            QTreeWidgetItem* next = nullptr;
            int count = item ? item->childCount() : form.trvControl->topLevelItemCount();
            for (int i = 0; i < count && !next; ++i) {
                QTreeWidgetItem* child = item ? item->child(i) : form.trvControl->topLevelItem(i);
                if (child->text(0) == caption)
                    next = child;
            }
            if (!next) {
                std::fprintf(stderr, "no node %s\n", caption.toUtf8().constData());
                return nullptr;
            }
            item = next;
            if (select)
                form.trvControl->setCurrentItem(item);
            form.trvControl->expandItem(item);
            application.processEvents(QEventLoop::AllEvents, 50);
        }
        return item;
    };
    if (!walk(argc >= 4 ? argv[3] : "Options", true))
        return 1;
    for (int i = 4; i < argc; ++i)
        if (!walk(argv[i], false))
            return 1;
    auto* messages = form.findChild<QTreeWidget*>("lbMailboxMessages");
    if (messages && messages->isVisible() && messages->topLevelItemCount() > 0)
        messages->setCurrentItem(messages->topLevelItem(0));
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
