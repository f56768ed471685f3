// The main window end to end against a scripted service: field binding, the popup menu, the
// running and stopped states, the options editor's restart and the log view.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "manager/command_client.h"
#include "manager/dialogs.h"
#include "manager/field_binding.h"
#include "manager/globals.h"
#include "manager/manager_form.h"
#include "manager/panel_holder.h"
#include "manager/service_control.h"
#include "manager/tree_control.h"
#include "tests/manager/control_peer.h"
#include "tests/support/temp_dir.h"

namespace {

using OvrinTest::TControlPeer;

class TScriptedDialogs : public Ovrin::TDialogs {
public:
    bool answer = false;
    std::vector<std::string> questions, notes, errors;
    bool Question(const std::string& text) override {
        questions.push_back(text);
        return answer;
    }
    Ovrin::TDialogs::TChoice leavingAnswer = Ovrin::TDialogs::TChoice::Discard;
    std::vector<std::string> leavingQuestions;
    TChoice SaveDiscardCancel(const std::string& text) override {
        leavingQuestions.push_back(text);
        return leavingAnswer;
    }
    std::vector<std::string> helps;
    void Help(const std::string& title, const std::string& markdown, const std::string&) override {
        helps.push_back(title + "|" + markdown);
    }
    void Information(const std::string& text) override { notes.push_back(text); }
    void Error(const std::string& text) override { errors.push_back(text); }
    void Warning(const std::string& text) override { notes.push_back(text); }
};

// What the recording controller was given, kept across its recreation.
struct TRecord {
    std::map<std::string, std::string> values;
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<std::string> commands;
};

QWidget* BuildRecordingPanel(QWidget* holder) {
    auto* panel = new QWidget(holder);
    auto* layout = new QVBoxLayout(panel);
    auto* name = new QLineEdit(panel);
    name->setObjectName("edtName");
    Ovrin::Bind(name, "@name");
    auto* enabled = new QCheckBox("Enabled", panel);
    enabled->setObjectName("cbEnabled");
    Ovrin::Bind(enabled, "@enabled|false|true");
    auto* regexes = new QPlainTextEdit(panel);
    regexes->setObjectName("memoRegexes");
    Ovrin::Bind(regexes, "regexes");
    auto* unbound = new QLineEdit("left alone", panel);
    unbound->setObjectName("edtUnbound");
    for (QWidget* field : {static_cast<QWidget*>(name), static_cast<QWidget*>(enabled),
                           static_cast<QWidget*>(regexes), static_cast<QWidget*>(unbound)})
        layout->addWidget(field);
    return panel;
}

class TRecordingTreeControl : public Ovrin::TTreeControl {
public:
    TRecordingTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent, TRecord& record)
        : TTreeControl(tree, node, "Recording", parent), record(record) {}
    TTreeControl* Recreate() override { return new TRecordingTreeControl(TreeView(), Node(), Node()->parent(), record); }
    QWidget* Panel() override { return FormPanel("pnlRecording", BuildRecordingPanel); }
    bool BeginLoad() override { return true; }
    std::string GetValue(const std::string& key) override { return key.empty() ? "" : record.values[key]; }
    bool CanSave() override { return true; }
    void SetValue(const std::string& key, const std::string& value) override { record.saved.emplace_back(key, value); }
    bool Commit() override { return true; }
    Ovrin::TStringArray PopupItems() override {
        return {"Add new action|Modify the ruleset|Delete this rule", "Add new action|Dispatch", "Refresh"};
    }
    void PopupCommand(const std::string& caption) override {
        record.commands.push_back(caption);
        TTreeControl::PopupCommand(caption);
    }

private:
    TRecord& record;
};

const char* kConfig =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<config><params>"
    "<param name=\"pop3-port\" value=\"110\"/>"
    "<param name=\"mail-interval\" value=\"300\"/>"
    "</params></config>\n";

class ManagerForm : public testing::Test {
protected:
    void SetUp() override {
        Ovrin::SetManagerDirectory(dir.Path());
        OvrinTest::WriteWholeFile(dir / "config.xml", kConfig);
        auto scripted = std::make_unique<TScriptedDialogs>();
        dialogs = scripted.get();
        Ovrin::SetDialogs(std::move(scripted));
        Ovrin::ServiceControl().SetWaitLimit(5000);
    }
    void TearDown() override {
        form.reset();
        Ovrin::SetDialogs(nullptr);
        unsetenv("OVRIN_START_COMMAND");
        unsetenv("OVRIN_STOP_COMMAND");
    }

    // A server that answers while the file "stopped" is absent from the test directory.
    std::unique_ptr<TControlPeer> StartServer() {
        auto running = OvrinTest::RunningServer({{"mail-directory", dir / "mail"},
                                                 {"product-name", "Ovrin Mail Filter"},
                                                 {"version", "1.4, built Sep 13 2005"},
                                                 {"pop3-port", "11110"},
                                                 {"mail-interval", "300"}});
        std::string stopped = dir / "stopped";
        return std::make_unique<TControlPeer>([running, stopped](const std::string& command) {
            return std::filesystem::exists(stopped) ? std::string("err stopped\r\n") : running(command);
        });
    }

    void OpenForm(int intervalMs = 50) {
        form = std::make_unique<Ovrin::TManagerForm>(intervalMs);
        form->show();
    }

    bool WaitRunning() {
        return QTest::qWaitFor([] { return Ovrin::ServiceControl().IsRunning() && !Ovrin::MailDirectory().empty(); },
                               5000);
    }

    QTreeWidgetItem* TopLevel(const QString& caption) {
        auto found = form->trvControl->findItems(caption, Qt::MatchExactly);
        return found.empty() ? nullptr : found.front();
    }

    template <class T>
    T* Find(const char* name) {
        return form->findChild<T*>(name);
    }

    OvrinTest::TempDir dir;
    TScriptedDialogs* dialogs = nullptr;
    std::unique_ptr<Ovrin::TManagerForm> form;
};

TEST_F(ManagerForm, FieldsLoadAndSaveThroughTheirBindings) {
    auto server = StartServer();
    OpenForm();
    ASSERT_TRUE(WaitRunning());
    TRecord record;
    auto* control = new TRecordingTreeControl(form->trvControl, nullptr, nullptr, record);

    struct {
        const char* enabled;
        bool checked;
    } checkCases[] = {{"true", true}, {"false", false}, {"TRUE", false}, {"", false}, {"yes", false}};
    for (const auto& c : checkCases) {
        record.values = {{"@name", "rule one"}, {"@enabled", c.enabled}, {"regexes", "a\nb\r\nc\rd\r\n"}};
        record.saved.clear();
        form->trvControl->setCurrentItem(nullptr);
        form->trvControl->setCurrentItem(control->Node());
        ASSERT_FALSE(Find<QWidget>("pnlRecording")->isHidden());
        EXPECT_EQ(Find<QLineEdit>("edtName")->text(), "rule one");
        EXPECT_EQ(Find<QCheckBox>("cbEnabled")->isChecked(), c.checked) << c.enabled;
        EXPECT_EQ(Find<QPlainTextEdit>("memoRegexes")->toPlainText(), "a\nb\nc\nd\n");

        form->SaveChanges();
        const std::vector<std::pair<std::string, std::string>> expected = {
            {"", ""}, {"@name", "rule one"}, {"@enabled", c.checked ? "true" : "false"}, {"regexes", "a\r\nb\r\nc\r\nd\r\n"}};
        EXPECT_EQ(record.saved, expected) << c.enabled;
    }
    Find<QCheckBox>("cbEnabled")->setChecked(true);
    record.saved.clear();
    form->SaveChanges();
    EXPECT_EQ(record.saved[2], (std::pair<std::string, std::string>{"@enabled", "true"}));
    EXPECT_EQ(dialogs->notes.back(), "Changes have been successfully saved.");
    EXPECT_TRUE(dialogs->errors.empty());
}

TEST_F(ManagerForm, PopupPathsBecomeSubmenusAndHandTheLastPartToTheController) {
    auto server = StartServer();
    OpenForm();
    ASSERT_TRUE(WaitRunning());
    TRecord record;
    auto* control = new TRecordingTreeControl(form->trvControl, nullptr, nullptr, record);
    form->trvControl->setCurrentItem(control->Node());
    form->ShowPopup(control->Node(), QPoint(10, 10));

    auto submenu = [](QMenu* menu, const QString& caption) -> QMenu* {
        for (QAction* action : menu->actions())
            if (action->text() == caption)
                return action->menu();
        return nullptr;
    };
    QMenu* add = submenu(form->mnuPopup, "Add new action");
    ASSERT_TRUE(add);
    EXPECT_EQ(form->mnuPopup->actions().size(), 2);  // one "Add new action", one "Refresh"
    QMenu* modify = submenu(add, "Modify the ruleset");
    ASSERT_TRUE(modify);
    EXPECT_EQ(add->actions().size(), 2);
    ASSERT_EQ(modify->actions().size(), 1);
    modify->actions().front()->trigger();
    form->mnuPopup->hide();
    EXPECT_EQ(record.commands, std::vector<std::string>{"Delete this rule"});
}

TEST_F(ManagerForm, ServerGoingDownHidesThePanelAndCollapsesTheTree) {
    auto server = StartServer();
    OpenForm();
    ASSERT_TRUE(WaitRunning());
    EXPECT_EQ(form->windowTitle(), " Ovrin Mail Filter manager");
    EXPECT_EQ(form->mnuStartStop->text(), "Stop");
    EXPECT_EQ(form->lblServiceState->text(), "Service: running");
    EXPECT_EQ(form->btnStartStop->text(), "Stop");
    EXPECT_TRUE(form->mnuServiceStop->isEnabled() && !form->mnuServiceStart->isEnabled());

    form->trvControl->setCurrentItem(TopLevel("About"));
    EXPECT_EQ(Find<QLineEdit>("edtVersion")->text(), "Ovrin Mail Filter 1.4, built Sep 13 2005");
    TRecord record;
    auto* parent = new TRecordingTreeControl(form->trvControl, nullptr, nullptr, record);
    new TRecordingTreeControl(form->trvControl, nullptr, parent->Node(), record);
    form->trvControl->expandItem(parent->Node());
    form->trvControl->setCurrentItem(TopLevel("Options"));
    QWidget* options = Find<QWidget>("pnlOptions");
    ASSERT_FALSE(options->isHidden());

    server.reset();
    ASSERT_TRUE(QTest::qWaitFor([this] { return form->windowTitle().endsWith("[stopped]"); }, 5000));
    EXPECT_EQ(form->windowTitle(), " Ovrin Mail Filter manager [stopped]");
    EXPECT_EQ(form->TrayIcon1->toolTip(), form->windowTitle());
    EXPECT_TRUE(options->isHidden());
    EXPECT_FALSE(form->pnlControlPanelHolder->btnApply->isEnabled());
    EXPECT_FALSE(form->trvControl->isEnabled());
    EXPECT_FALSE(parent->Node()->isExpanded());
    EXPECT_EQ(form->mnuStartStop->text(), "Start");
    EXPECT_EQ(form->lblServiceState->text(), "Service: stopped");
    EXPECT_EQ(form->btnStartStop->text(), "Start");
    EXPECT_TRUE(form->mnuServiceStart->isEnabled() && !form->mnuServiceStop->isEnabled());
    EXPECT_FALSE(Ovrin::ServiceControl().IsRunning());
    EXPECT_EQ(Ovrin::MailDirectory(), "");
    EXPECT_TRUE(dialogs->errors.empty());
}

// A service that takes the connection and never answers: the status bar says so, the window
// stays responsive, and the tree is closed as when the service is stopped.
TEST_F(ManagerForm, AServiceThatDoesNotAnswerShowsInTheStatusBar) {
    OvrinTest::TSilentControlPeer silent;
    Ovrin::SetCommandTimeout(200);
    OpenForm();
    EXPECT_TRUE(QTest::qWaitFor([this] { return form->lblServiceState->text() == "Service: not answering"; }, 5000));
    EXPECT_FALSE(form->trvControl->isEnabled());
    EXPECT_EQ(form->btnStartStop->text(), "Start");
    EXPECT_TRUE(dialogs->errors.empty());
    Ovrin::SetCommandTimeout(Ovrin::kDefaultCommandTimeoutMs);
}

// The tree's width and the window's size outlive the window, in a file only its user can read,
// whatever the umask; a remembered width that would hide the tree is not taken.
TEST_F(ManagerForm, TheTreesWidthAndTheWindowsSizeAreKeptPrivatelyForTheNextStart) {
    const std::string home = dir / "config";
    const char* before = std::getenv("XDG_CONFIG_HOME");
    const std::string kept = before ? before : "";
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    const mode_t umaskBefore = umask(0);
    OpenForm();
    form->resize(700, 500);
    form->Splitter1->setSizes({333, 300});
    const int treeWidth = form->Splitter1->sizes()[0];
    form->close();
    umask(umaskBefore);
    form.reset();
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status(home).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(home + "/ovrin").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(home + "/ovrin/manager.conf").permissions(), fs::perms::owner_read | fs::perms::owner_write);

    struct {
        std::string file;
        int treeWidth;
        QSize window;
    } cases[] = {
        {OvrinTest::ReadWholeFile(home + "/ovrin/manager.conf"), treeWidth, QSize(700, 500)},
        {"tree-width=5\n", 100, QSize(880, 600)},
        {"tree-width=wide\nwindow-height=\n=1\n", 220, QSize(880, 600)},
    };
    for (const auto& c : cases) {
        OvrinTest::WriteWholeFile(home + "/ovrin/manager.conf", c.file);
        OpenForm();
        EXPECT_EQ(form->size(), c.window) << c.file;
        EXPECT_EQ(form->Splitter1->sizes()[0], c.treeWidth) << c.file;
        form.reset();
    }
    setenv("XDG_CONFIG_HOME", kept.c_str(), 1);
}

// Tab runs from the tree through the panel's fields to its buttons, Help last.
TEST_F(ManagerForm, TabRunsFromTheTreeThroughTheFieldsToTheButtons) {
    auto server = StartServer();
    OpenForm();
    ASSERT_TRUE(WaitRunning());
    form->trvControl->setCurrentItem(TopLevel("Options"));
    QStringList order;
    for (QWidget* at = form->trvControl->nextInFocusChain(); at != form->trvControl; at = at->nextInFocusChain())
        if ((at->focusPolicy() & Qt::TabFocus) && at->isVisible() && at->isEnabled())
            order << at->objectName();
    EXPECT_EQ(order, (QStringList{"kveGlobalOptions", "btnApply", "btnHelp", "memoLog", "btnStartStop"}));
}

// Help shows the README's section of the panel's kind, from the file beside the manager.
TEST_F(ManagerForm, HelpShowsTheReadmeSectionOfThePanel) {
    OvrinTest::WriteWholeFile(dir / "README.md", "# Ovrin\nintro\n## The manager\nwindow\n```\n# not a heading\n```\n"
                                                 "### Users, accounts, mailboxes and messages\nusers\n"
                                                 "### The ruleset editor\nrules\n## Layout\nfiles\n");
    auto server = StartServer();
    OpenForm();
    ASSERT_TRUE(WaitRunning());
    form->trvControl->setCurrentItem(TopLevel("Options"));
    form->ShowHelp();
    form->trvControl->setCurrentItem(TopLevel("Users"));
    form->ShowHelp();
    EXPECT_EQ(dialogs->helps,
              (std::vector<std::string>{"The manager|## The manager\nwindow\n```\n# not a heading\n```\n"
                                        "### Users, accounts, mailboxes and messages\nusers\n### The ruleset editor\nrules\n",
                                        "Users, accounts, mailboxes and messages|### Users, accounts, mailboxes and "
                                        "messages\nusers\n"}));
    std::filesystem::remove(dir / "README.md");
    form->ShowHelp();
    EXPECT_EQ(dialogs->errors, std::vector<std::string>{"The help file " + dir / "README.md" + " cannot be read."});
}

TEST_F(ManagerForm, OptionsShowTheServersValuesAndNoLeavesEverythingAlone) {
    setenv("OVRIN_STOP_COMMAND", ("touch " + dir / "stopped").c_str(), 1);
    auto server = StartServer();
    OpenForm();
    ASSERT_TRUE(WaitRunning());
    form->trvControl->setCurrentItem(TopLevel("Options"));
    auto* table = Find<QTableWidget>("kveGlobalOptions");
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->item(0, 0)->text(), "pop3-port");
    EXPECT_EQ(table->item(0, 1)->text(), "11110");  // the value in effect, not the file's
    table->item(1, 1)->setText("600");

    dialogs->answer = false;
    form->SaveChanges();
    EXPECT_EQ(dialogs->questions,
              std::vector<std::string>{"Changing the global options requires the service to be restarted, proceed ?"});
    EXPECT_EQ(OvrinTest::ReadWholeFile(dir / "config.xml"), kConfig);
    EXPECT_FALSE(std::filesystem::exists(dir / "stopped"));
    EXPECT_TRUE(dialogs->notes.empty());
    EXPECT_TRUE(Ovrin::ServiceControl().IsRunning());
}

TEST_F(ManagerForm, OptionsSavedOnYesAfterStoppingThenTheServiceStarts) {
    setenv("OVRIN_STOP_COMMAND", ("touch " + dir / "stopped").c_str(), 1);
    setenv("OVRIN_START_COMMAND", ("rm -f " + dir / "stopped").c_str(), 1);
    auto server = StartServer();
    OpenForm();
    ASSERT_TRUE(WaitRunning());
    form->trvControl->setCurrentItem(TopLevel("Options"));
    Find<QTableWidget>("kveGlobalOptions")->item(1, 1)->setText("600");

    dialogs->answer = true;
    form->SaveChanges();
    EXPECT_TRUE(dialogs->errors.empty()) << dialogs->errors.front();
    EXPECT_EQ(dialogs->notes, std::vector<std::string>{"Changes have been successfully saved."});
    std::string saved = OvrinTest::ReadWholeFile(dir / "config.xml");
    EXPECT_NE(saved.find("name=\"mail-interval\" value=\"600\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("name=\"pop3-port\" value=\"11110\""), std::string::npos) << saved;
    EXPECT_TRUE(Ovrin::ServiceControl().IsRunning());
    EXPECT_FALSE(std::filesystem::exists(dir / "stopped"));
}

TEST_F(ManagerForm, StartThatNeverComesUpSaysSo) {
    setenv("OVRIN_START_COMMAND", "true", 1);
    Ovrin::ServiceControl().SetWaitLimit(300);
    OpenForm();
    form->StartOrStop();
    ASSERT_EQ(dialogs->errors.size(), 1u);
    EXPECT_EQ(dialogs->errors.front(), "The service did not start in time (waited 300 ms), see the log below");
}

TEST_F(ManagerForm, LogViewShowsCompletedLinesAndStartsAgainOnANewLog) {
    const std::string log = dir / "ovrin.log";
    OvrinTest::WriteWholeFile(log, "one\r\ntw");
    OpenForm(20);
    QPlainTextEdit* memo = form->memoLog;
    ASSERT_TRUE(QTest::qWaitFor([memo] { return memo->toPlainText() == "one"; }, 5000));
    QTest::qWait(200);  // several passes: the unfinished line stays back
    EXPECT_EQ(memo->toPlainText(), "one");

    std::FILE* append = std::fopen(log.c_str(), "ab");
    std::fputs("o\r\n", append);
    std::fclose(append);
    ASSERT_TRUE(QTest::qWaitFor([memo] { return memo->toPlainText() == "one\ntwo"; }, 5000));

    OvrinTest::WriteWholeFile(log, "fresh\r\n");
    EXPECT_TRUE(QTest::qWaitFor([memo] { return memo->toPlainText() == "fresh"; }, 5000)) << memo->toPlainText().toStdString();
}

}  // namespace
