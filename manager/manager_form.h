// TManagerForm: the manager's main window. The tree of nodes on the left, the editing panel of
// the selected node on the right, the server's log at the bottom, and the tray icon; it shows
// whether the server is running and starts and stops the service.
#pragma once

#include <memory>

#include <QMainWindow>

class QAction;
class QLabel;
class QPushButton;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QSystemTrayIcon;
class QTreeWidget;
class QTreeWidgetItem;

namespace Ovrin {

class TPanelHolder;
class TTreeControl;
class TPingServiceThread;

class TManagerForm : public QMainWindow {
    Q_OBJECT

public:
    // The ping thread tails the log every interval and pings every second interval.
    explicit TManagerForm(int pingIntervalMs = 1000, QWidget* parent = nullptr);
    ~TManagerForm() override;

    QWidget* Panel2;
    QWidget* Panel4;
    QTreeWidget* trvControl;
    TPanelHolder* pnlControlPanelHolder;
    QWidget* Panel1;
    QPlainTextEdit* memoLog;
    QSplitter* Splitter1;
    QSplitter* Splitter2;
    QMenu* mnuPopup;
    QMenu* PopupMenu6;
    QAction* mnuShow;
    QAction* mnuStartStop;
    QAction* mnuExit;
    QSystemTrayIcon* TrayIcon1;
    // The status bar's service state and start/stop button, and the "Service" menu.
    QLabel* lblServiceState;
    QPushButton* btnStartStop;
    QAction* mnuServiceStart;
    QAction* mnuServiceStop;

    // The actions behind the buttons, the tree's right click and the tray's start/stop item.
    // SaveChanges is true when the file was written.
    bool SaveChanges();
    void ValidateFields();
    void ShowHelp();
    void ShowPopup(QTreeWidgetItem* item, const QPoint& globalPosition);
    void StartOrStop();
    void RefreshTopLevelNodes();

public slots:
    void OnServerUp();
    void OnServerDown();
    void OnServerSilent();
    void OnLogLine(const QString& line);
    void OnLogReset();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool Deferred(void (TManagerForm::*handler)());
    void SelectionChanged();
    void FollowDirectory();
    void LoadPanel(TTreeControl* control);
    // Puts the shown panel's fields into its controller; true when they went in.
    bool WriteFields(TTreeControl* control, QWidget* panel);
    void WatchEdits(QWidget* panel);
    // Before the shown panel is left: true when it may be (no edits, saved or discarded).
    bool MayLeavePanel();
    void EnterStoppedState();
    void FreeControllers();
    void RestoreWindow();
    void ShowServiceState(const QString& state, bool running);

    std::unique_ptr<TPingServiceThread> pingThread;
    QTreeWidgetItem* shownItem = nullptr;  // whose panel is shown
    bool panelEdited = false;
    bool leaving = false;
    bool mailDirectoryFetched = false;
    bool fetchingMailDirectory = false;
};

}  // namespace Ovrin
