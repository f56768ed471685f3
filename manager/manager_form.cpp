// The main window: layout, the running and stopped states, the selection, save and validate
// sequences, the tree's popup menu and the tray icon.
#include "manager/manager_form.h"

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLineEdit>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include "common/exception.h"
#include "manager/about_tree_control.h"
#include "manager/command_client.h"
#include "manager/dialogs.h"
#include "manager/field_binding.h"
#include "manager/globals.h"
#include "manager/options_tree_control.h"
#include "manager/panel_holder.h"
#include "manager/ping_service_thread.h"
#include "manager/popup_menu.h"
#include "manager/service_control.h"
#include "manager/tree_control.h"
#include "manager/users_tree_control.h"
#include "manager/window_memory.h"

namespace Ovrin {

namespace {

const QString kCaption = QStringLiteral(" Ovrin Mail Filter manager");
const QString kStoppedCaption = QStringLiteral(" Ovrin Mail Filter manager [stopped]");
constexpr int kFollowIntervalMs = 2000;
// A remembered size never hides the tree or shrinks the window out of use.
constexpr int kMinimumTreeWidth = 100;
constexpr int kMinimumWindowSide = 300;

}  // namespace

TManagerForm::TManagerForm(int pingIntervalMs, QWidget* parent) : QMainWindow(parent) {
    setObjectName("ManagerForm");

    Splitter2 = new QSplitter(Qt::Vertical, this);
    Splitter1 = new QSplitter(Qt::Horizontal, Splitter2);

    Panel2 = new QWidget(Splitter1);
    Panel2->setObjectName("Panel2");
    auto* left = new QVBoxLayout(Panel2);
    left->setContentsMargins(6, 6, 0, 6);
    Panel4 = new QWidget(Panel2);
    Panel4->setObjectName("Panel4");
    auto* treeLayout = new QVBoxLayout(Panel4);
    treeLayout->setContentsMargins(0, 0, 0, 0);
    trvControl = new QTreeWidget(Panel4);
    trvControl->setObjectName("trvControl");
    trvControl->setHeaderHidden(true);
    trvControl->setRootIsDecorated(false);
    trvControl->setItemsExpandable(true);
    trvControl->setEditTriggers(QAbstractItemView::NoEditTriggers);
    trvControl->setSelectionMode(QAbstractItemView::SingleSelection);
    trvControl->setContextMenuPolicy(Qt::CustomContextMenu);
    trvControl->setIndentation(14);
    // A long caption scrolls instead of being cut at the tree's edge.
    trvControl->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    trvControl->header()->setStretchLastSection(false);
    trvControl->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    treeLayout->addWidget(trvControl);
    left->addWidget(Panel4);

    pnlControlPanelHolder = new TPanelHolder(Splitter1);
    pnlControlPanelHolder->Serve(trvControl);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    // The tree's width and the window's size are the person's, from the last time the window closed.
    const TWindowMemory memory;
    resize(std::max(memory.Number("window-width", 880), kMinimumWindowSide),
           std::max(memory.Number("window-height", 600), kMinimumWindowSide));
    const int treeWidth = std::clamp(memory.Number("tree-width", 220), kMinimumTreeWidth, width() - kMinimumTreeWidth);
    Splitter1->setSizes({treeWidth, width() - treeWidth});

    Panel1 = new QWidget(Splitter2);
    Panel1->setObjectName("Panel1");
    auto* bottom = new QVBoxLayout(Panel1);
    bottom->setContentsMargins(6, 0, 6, 6);
    memoLog = new QPlainTextEdit(Panel1);
    memoLog->setObjectName("memoLog");
    memoLog->setReadOnly(true);
    memoLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoLog->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    bottom->addWidget(memoLog);
    Splitter2->setStretchFactor(0, 1);
    Splitter2->setStretchFactor(1, 0);
    Splitter2->setSizes({440, 160});
    setCentralWidget(Splitter2);

    mnuPopup = new QMenu(this);
    mnuPopup->setObjectName("mnuPopup");
    PopupMenu6 = new QMenu(this);
    PopupMenu6->setObjectName("PopupMenu6");
    mnuShow = PopupMenu6->addAction("Show");
    mnuStartStop = PopupMenu6->addAction("Start");
    PopupMenu6->addSeparator();
    mnuExit = PopupMenu6->addAction("Exit");
    TrayIcon1 = new QSystemTrayIcon(style()->standardIcon(QStyle::SP_DriveNetIcon), this);
    TrayIcon1->setObjectName("TrayIcon1");
    TrayIcon1->setToolTip("Ovrin Mail Filter manager");
    TrayIcon1->setContextMenu(PopupMenu6);
    setWindowIcon(TrayIcon1->icon());

    // Start and stop do not depend on a tray, which many desktops lack.
    QMenu* service = menuBar()->addMenu("&Service");
    mnuServiceStart = service->addAction("&Start");
    mnuServiceStop = service->addAction("S&top");
    service->addSeparator();
    connect(service->addAction("E&xit"), &QAction::triggered, this, [this] { close(); });
    lblServiceState = new QLabel(this);
    lblServiceState->setObjectName("lblServiceState");
    btnStartStop = new QPushButton(this);
    btnStartStop->setObjectName("btnStartStop");
    statusBar()->addWidget(lblServiceState, 1);
    statusBar()->addPermanentWidget(btnStartStop);
    connect(btnStartStop, &QPushButton::clicked, this, [this] { StartOrStop(); });
    connect(mnuServiceStart, &QAction::triggered, this, [this] {
        if (!ServiceControl().IsRunning())
            StartOrStop();
    });
    connect(mnuServiceStop, &QAction::triggered, this, [this] {
        if (ServiceControl().IsRunning())
            StartOrStop();
    });

    connect(trvControl, &QTreeWidget::currentItemChanged, this, [this] { SelectionChanged(); });
    connect(trvControl, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QTreeWidgetItem* item = trvControl->itemAt(at);
        if (item)
            trvControl->setCurrentItem(item);  // a right click selects
        ShowPopup(trvControl->currentItem(), trvControl->viewport()->mapToGlobal(at));
    });
    connect(trvControl, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        TTreeControl* control = TTreeControl::Of(item);
        if (control && !control->CanExpand())
            trvControl->collapseItem(item);
    });
    connect(trvControl, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
        TTreeControl* control = TTreeControl::Of(item);
        if (control && !control->CanCollapse() && trvControl->isEnabled())
            trvControl->expandItem(item);
    });
    connect(pnlControlPanelHolder->btnApply, &QPushButton::clicked, this, [this] { SaveChanges(); });
    connect(pnlControlPanelHolder->btnValidateValues, &QPushButton::clicked, this, [this] { ValidateFields(); });
    connect(pnlControlPanelHolder->btnHelp, &QPushButton::clicked, this, [this] { ShowHelp(); });
    connect(mnuShow, &QAction::triggered, this, [this] { RestoreWindow(); });
    connect(mnuStartStop, &QAction::triggered, this, [this] { StartOrStop(); });
    connect(mnuExit, &QAction::triggered, this, [this] { close(); });
    connect(TrayIcon1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            RestoreWindow();
    });
    if (QSystemTrayIcon::isSystemTrayAvailable())
        TrayIcon1->show();

    pingThread = std::make_unique<TPingServiceThread>(ManagerDirectory() + "/ovrin.log", pingIntervalMs);
    connect(pingThread.get(), &TPingServiceThread::serverUp, this, &TManagerForm::OnServerUp, Qt::QueuedConnection);
    connect(pingThread.get(), &TPingServiceThread::serverDown, this, &TManagerForm::OnServerDown, Qt::QueuedConnection);
    connect(pingThread.get(), &TPingServiceThread::serverSilent, this, &TManagerForm::OnServerSilent, Qt::QueuedConnection);
    connect(pingThread.get(), &TPingServiceThread::logLine, this, &TManagerForm::OnLogLine, Qt::QueuedConnection);
    connect(pingThread.get(), &TPingServiceThread::logReset, this, &TManagerForm::OnLogReset, Qt::QueuedConnection);
    connect(&ServiceControl(), &TServiceControl::logReopenWanted, this, [this] { pingThread->RequestLogReopen(); });
    pingThread->start();

    // The shown node follows its directory: mail arrives and goes without the admin refreshing.
    auto* follow = new QTimer(this);
    connect(follow, &QTimer::timeout, this, [this] { FollowDirectory(); });
    follow->start(kFollowIntervalMs);

    new TAboutTreeControl(trvControl, nullptr, nullptr);
    new TOptionsTreeControl(trvControl, nullptr, nullptr);
    new TUsersTreeControl(trvControl, nullptr, nullptr);
    EnterStoppedState();
}

TManagerForm::~TManagerForm() {
    if (pingThread)
        pingThread->Stop();
    FreeControllers();
}

void TManagerForm::FreeControllers() {
    while (trvControl->topLevelItemCount() > 0) {
        delete TTreeControl::Of(trvControl->topLevelItem(0));
        delete trvControl->takeTopLevelItem(0);
    }
}

void TManagerForm::closeEvent(QCloseEvent* event) {
    if (!MayLeavePanel()) {
        event->ignore();
        return;
    }
    pingThread->Stop();
    FreeControllers();
    TWindowMemory memory;
    memory.SetNumber("tree-width", Splitter1->sizes().value(0, kMinimumTreeWidth));
    memory.SetNumber("window-width", width());
    memory.SetNumber("window-height", height());
    memory.Save();
    event->accept();
}

void TManagerForm::RestoreWindow() {
    showNormal();
    raise();
    activateWindow();
}

// Handled once no command of the window is waiting: rebuilding the tree then would free the
// controller that waits.
bool TManagerForm::Deferred(void (TManagerForm::*handler)()) {
    if (CommandsWaitingOnGuiThread() == 0)
        return false;
    QTimer::singleShot(50, this, handler);
    return true;
}

void TManagerForm::OnServerUp() {
    if (Deferred(&TManagerForm::OnServerUp))
        return;
    setWindowTitle(kCaption);
    TrayIcon1->setToolTip(kCaption);
    trvControl->setPalette(QPalette());
    trvControl->setEnabled(true);
    ServiceControl().SetRunning(true);
    ShowServiceState("running", true);
    // Fetched once per running period; a modal error box must not let the next ping nest here.
    if (mailDirectoryFetched || fetchingMailDirectory)
        return;
    fetchingMailDirectory = true;
    std::string value;
    bool fetched = SendCommand("get config mail-directory", &value);
    if (fetched) {
        // The server runs in the directory it shares with the manager: a relative mail
        // directory is taken from there, not from wherever the manager was started.
        SetMailDirectory(!value.empty() && value[0] != '/' ? ManagerDirectory() + "/" + value : value);
        mailDirectoryFetched = true;
        RefreshTopLevelNodes();
    } else {
        Dialogs().Error("Failed to fetch configuration parameter \"mail-directory\"");
    }
    fetchingMailDirectory = false;
}

void TManagerForm::FollowDirectory() {
    TTreeControl* control = TTreeControl::Of(trvControl->currentItem());
    if (!control || panelEdited || !trvControl->isEnabled() || CommandsWaitingOnGuiThread() > 0 ||
        QApplication::activeModalWidget() || QApplication::activePopupWidget())
        return;
    Guarded([&] { control->FollowDirectory(); });
}

void TManagerForm::OnServerDown() {
    if (!Deferred(&TManagerForm::OnServerDown))
        EnterStoppedState();
}

// Locks cannot be taken from a server that does not answer: the tree goes as when it stopped.
void TManagerForm::OnServerSilent() {
    if (Deferred(&TManagerForm::OnServerSilent))
        return;
    EnterStoppedState();
    ShowServiceState("not answering", false);
}

void TManagerForm::ShowServiceState(const QString& state, bool running) {
    lblServiceState->setText("Service: " + state);
    mnuStartStop->setText(running ? "Stop" : "Start");
    btnStartStop->setText(running ? "Stop" : "Start");
    mnuServiceStart->setEnabled(!running);
    mnuServiceStop->setEnabled(running);
}

void TManagerForm::EnterStoppedState() {
    setWindowTitle(kStoppedCaption);
    TrayIcon1->setToolTip(kStoppedCaption);
    trvControl->collapseAll();
    QPalette face = trvControl->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    trvControl->setPalette(face);
    trvControl->setEnabled(false);
    // Without the server nothing can be saved: the panel's edits go with it.
    panelEdited = false;
    if (trvControl->currentItem())
        trvControl->setCurrentItem(nullptr);  // hides the panel through the selection change
    else
        SelectionChanged();
    ServiceControl().SetRunning(false);
    ShowServiceState("stopped", false);
    SetMailDirectory("");
    mailDirectoryFetched = false;
}

void TManagerForm::OnLogLine(const QString& line) { memoLog->appendPlainText(line); }
void TManagerForm::OnLogReset() { memoLog->clear(); }

void TManagerForm::RefreshTopLevelNodes() {
    // Marked first, since refreshing replaces nodes under the walk.
    for (int i = 0; i < trvControl->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = trvControl->topLevelItem(i);
        item->setText(0, "@" + item->text(0));
    }
    for (;;) {
        QTreeWidgetItem* marked = nullptr;
        for (int i = 0; i < trvControl->topLevelItemCount() && !marked; ++i)
            if (trvControl->topLevelItem(i)->text(0).startsWith('@'))
                marked = trvControl->topLevelItem(i);
        if (!marked)
            break;
        marked->setText(0, marked->text(0).mid(1));
        if (TTreeControl* control = TTreeControl::Of(marked))
            Guarded([&] { control->Refresh(); });
    }
}

namespace {

bool InTree(QTreeWidget* tree, const QTreeWidgetItem* item) {
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        if (*it == item)
            return true;
    return false;
}

}  // namespace

bool TManagerForm::MayLeavePanel() {
    if (!panelEdited || leaving)
        return true;
    if (!InTree(trvControl, shownItem) || !TTreeControl::Of(shownItem)) {
        panelEdited = false;
        return true;
    }
    leaving = true;
    struct TDone {
        bool& flag;
        ~TDone() { flag = false; }
    } done{leaving};
    switch (Dialogs().SaveDiscardCancel("The changes on this panel have not been saved.")) {
    case TDialogs::TChoice::Save:
        return SaveChanges();
    case TDialogs::TChoice::Discard:
        panelEdited = false;
        return true;
    default:
        return false;
    }
}

void TManagerForm::SelectionChanged() {
    QTreeWidgetItem* wanted = trvControl->currentItem();
    if (wanted != shownItem && !MayLeavePanel()) {
        if (InTree(trvControl, shownItem)) {
            QSignalBlocker quiet(trvControl);
            trvControl->setCurrentItem(shownItem);
        }
        return;
    }
    // A save may have rebuilt the tree: what is current now is shown.
    LoadPanel(TTreeControl::Of(trvControl->currentItem()));
}

void TManagerForm::LoadPanel(TTreeControl* control) {
    pnlControlPanelHolder->HideAll();
    shownItem = control ? control->Node() : nullptr;
    panelEdited = false;
    if (!control)
        return;
    Guarded([&] {
        control->OnSelect();
        QWidget* panel = control->Panel();
        if (!panel)
            return;
        if (control->BeginLoad()) {
            try {
                control->GetValue("");
                for (const TBoundField& field : BoundFields(panel))
                    LoadField(field, control->GetValue(field.key));
            } catch (...) {
                control->EndLoad();
                throw;
            }
            control->EndLoad();
        }
        WatchEdits(panel);
        pnlControlPanelHolder->Show(panel);
        pnlControlPanelHolder->btnApply->setEnabled(control->CanSave());
        pnlControlPanelHolder->btnValidateValues->setEnabled(control->CanValidate());
        pnlControlPanelHolder->btnHelp->setEnabled(control->HasHelp());
    });
    panelEdited = false;  // loading is no edit
}

// Each panel's fields are watched once; only a savable panel counts as edited. Changes made by
// the panel's own pickers count as typing does.
void TManagerForm::WatchEdits(QWidget* panel) {
    if (panel->property("ovrinWatched").toBool())
        return;
    panel->setProperty("ovrinWatched", true);
    auto edited = [this] { panelEdited = pnlControlPanelHolder->btnApply->isEnabled(); };
    for (auto* edit : panel->findChildren<QLineEdit*>())
        connect(edit, &QLineEdit::textChanged, this, edited);
    for (auto* memo : panel->findChildren<QPlainTextEdit*>())
        connect(memo, &QPlainTextEdit::textChanged, this, edited);
    for (auto* box : panel->findChildren<QCheckBox*>())
        connect(box, &QCheckBox::toggled, this, edited);
    for (auto* choice : panel->findChildren<QComboBox*>())
        connect(choice, &QComboBox::currentIndexChanged, this, edited);
    for (auto* table : panel->findChildren<QTableWidget*>())
        connect(table, &QTableWidget::itemChanged, this, edited);
}

bool TManagerForm::WriteFields(TTreeControl* control, QWidget* panel) {
    // The fields are read before BeginSave, which may stop the service and so hide the panel.
    std::vector<TBoundField> fields = BoundFields(panel);
    if (!control->BeginSave())
        return false;
    try {
        control->SetValue("", "");
        for (const TBoundField& field : fields)
            control->SetValue(field.key, FieldValue(field));
    } catch (...) {
        control->EndSave();
        throw;
    }
    control->EndSave();
    panelEdited = false;  // the edits are in the controller's document now
    return true;
}

bool TManagerForm::SaveChanges() {
    TTreeControl* control = TTreeControl::Of(trvControl->currentItem());
    QWidget* panel = pnlControlPanelHolder->ShownPanel();
    if (shownItem && shownItem != trvControl->currentItem())
        control = TTreeControl::Of(shownItem);  // saving on the way out of a panel
    if (!control || !panel)
        return false;
    bool saved = false;
    Guarded([&] {
        // Commit may refresh the tree and so free this controller.
        saved = WriteFields(control, panel) && control->Commit();
        if (saved)
            Dialogs().Information("Changes have been successfully saved.");
    });
    return saved;
}

void TManagerForm::ValidateFields() {
    TTreeControl* control = TTreeControl::Of(trvControl->currentItem());
    QWidget* panel = pnlControlPanelHolder->ShownPanel();
    if (!control || !panel)
        return;
    Guarded([&] {
        bool valid = control->Validate("", "");
        for (const TBoundField& field : BoundFields(panel))
            if (field.kind != TBoundField::TKind::CheckBox)
                valid = control->Validate(field.key, FieldValue(field)) && valid;
        if (valid)
            Dialogs().Information("All fields are valid");
    });
}

void TManagerForm::ShowHelp() {
    TTreeControl* control = TTreeControl::Of(trvControl->currentItem());
    if (control)
        Guarded([&] {
            if (control->HasHelp())
                control->Help();
        });
}

void TManagerForm::ShowPopup(QTreeWidgetItem* item, const QPoint& globalPosition) {
    TTreeControl* control = TTreeControl::Of(item);
    if (!control)
        return;
    TStringArray entries;
    if (!Guarded([&] { entries = control->PopupItems(); }) || entries.empty())
        return;
    BuildPopupMenu(*mnuPopup, entries, [this, control](const std::string& caption) {
        // The tree may have been rebuilt while the menu was open.
        if (TTreeControl::Of(trvControl->currentItem()) != control)
            return;
        // The node's own commands keep its edits in its document; any other leaves the panel.
        if (panelEdited && control->KeepsEditsPending() && shownItem == control->Node()) {
            if (!Guarded([&] { WriteFields(control, pnlControlPanelHolder->ShownPanel()); }))
                return;
        } else if (!MayLeavePanel()) {
            return;
        }
        Guarded([&] { control->PopupCommand(caption); });
    });
    mnuPopup->popup(globalPosition);
}

void TManagerForm::StartOrStop() {
    if (!MayLeavePanel())
        return;
    Guarded([] {
        if (ServiceControl().IsRunning())
            ServiceControl().StopService();
        else
            ServiceControl().StartService();
    });
}

}  // namespace Ovrin
