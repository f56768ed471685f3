// Building the tree's popup menu from its entries.
#include "manager/popup_menu.h"

#include <QMenu>

namespace Ovrin {

namespace {

QMenu* FindSubmenu(QMenu& menu, const QString& caption) {
    for (QAction* action : menu.actions())
        if (action->menu() && action->text() == caption)
            return action->menu();
    return nullptr;
}

bool HasItem(QMenu& menu, const QString& caption) {
    for (QAction* action : menu.actions())
        if (!action->menu() && action->text() == caption)
            return true;
    return false;
}

}  // namespace

void BuildPopupMenu(QMenu& menu, const TStringArray& entries, const std::function<void(const std::string&)>& command) {
    menu.clear();
    // clear() leaves the submenus of the last popup behind
    qDeleteAll(menu.findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly));
    for (const std::string& entry : entries) {
        QStringList levels = QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size())).split('|');
        QMenu* level = &menu;
        for (qsizetype i = 0; i + 1 < levels.size(); ++i) {
            QMenu* sub = FindSubmenu(*level, levels[i]);
            if (!sub)
                sub = level->addMenu(levels[i]);
            level = sub;
        }
        const QString& caption = levels.back();
        if (HasItem(*level, caption))
            continue;
        QAction* action = level->addAction(caption);
        std::string own = caption.toUtf8().toStdString();
        QObject::connect(action, &QAction::triggered, action, [command, own] { command(own); });
    }
}

}  // namespace Ovrin
