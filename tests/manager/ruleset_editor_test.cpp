// The ruleset editor through its controllers in the main window, on a temporary mail store with
// a scripted service on the control port; what it saves is loaded by the real ovrin.
#include <filesystem>

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "manager/dialogs.h"
#include "manager/document.h"
#include "manager/globals.h"
#include "manager/manager_form.h"
#include "manager/ruleset_check.h"
#include "manager/service_control.h"
#include "manager/sha1.h"
#include "manager/test_form.h"
#include "manager/tree_control.h"
#include "tests/manager/control_peer.h"
#include "tests/support/ovrin_process.h"
#include "tests/support/server_home.h"
#include "tests/support/server_run.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using OvrinTest::ReadWholeFile;
using OvrinTest::TControlPeer;
using OvrinTest::WriteWholeFile;

class TScriptedDialogs : public Ovrin::TDialogs {
public:
    bool answer = true;
    std::string chosenFile;
    std::vector<std::string> questions, notes, warnings, errors;
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
    void Information(const std::string& text) override { notes.push_back(text); }
    void Error(const std::string& text) override { errors.push_back(text); }
    void Warning(const std::string& text) override { warnings.push_back(text); }
    std::string OpenFileName(const std::string&, const std::string&) override { return chosenFile; }
    std::string SaveFileName(const std::string&, const std::string&) override { return chosenFile; }
};

class RulesetEditor : public testing::Test {
protected:
    void SetUp() override {
        home.AddUser("bob");
        fs::create_directory(home.UserPath("bob", "lists"));
        Ovrin::SetManagerDirectory(home.Path());
        auto scripted = std::make_unique<TScriptedDialogs>();
        dialogs = scripted.get();
        Ovrin::SetDialogs(std::move(scripted));
        std::string mail = home.MailDirectory();
        peer = std::make_unique<TControlPeer>([mail, this](const std::string& command) -> std::string {
            if (command == "noop" || command.rfind("lock ", 0) == 0 || command.rfind("unlock ", 0) == 0)
                return "ok\r\n";
            if (command == "get config mail-directory")
                return "ok " + mail + "\r\n";
            if (command.rfind("get config ", 0) == 0)
                return "ok 1\r\n";  // for the other nodes refreshed when the server comes up
            if (command.rfind("validate ", 0) == 0)
                return command.find("(") != std::string::npos ? "err unbalanced parenthesis\r\n" : "ok\r\n";
            return "err unknown command\r\n";
        });
        form = std::make_unique<Ovrin::TManagerForm>(50);
        form->show();
        ASSERT_TRUE(QTest::qWaitFor([] { return Ovrin::ServiceControl().IsRunning() && !Ovrin::MailDirectory().empty(); },
                                    5000));
    }
    void TearDown() override {
        form.reset();
        Ovrin::SetDialogs(nullptr);
    }

    // Users / bob / Rules, selected (which loads it).
    QTreeWidgetItem* SelectRules() {
        QTreeWidgetItem* users = form->trvControl->findItems("Users", Qt::MatchExactly).front();
        for (int i = 0; i < users->childCount(); ++i)
            if (users->child(i)->text(0) == "bob") {
                form->trvControl->setCurrentItem(users->child(i));  // builds Accounts, Rules, Mailboxes
                QTreeWidgetItem* rules = users->child(i)->child(1);
                form->trvControl->setCurrentItem(rules);
                return rules;
            }
        ADD_FAILURE() << "no user bob under Users";
        return nullptr;
    }
    QTreeWidgetItem* Current() { return form->trvControl->currentItem(); }
    Ovrin::TTreeControl* Control(QTreeWidgetItem* item) { return Ovrin::TTreeControl::Of(item); }
    // Through the tree's popup menu, as a click would, so errors reach the error box.
    void Command(QTreeWidgetItem* item, const std::string& caption) {
        form->trvControl->setCurrentItem(item);
        form->ShowPopup(item, QPoint(5, 5));
        QAction* found = FindAction(form->mnuPopup, QString::fromStdString(caption));
        form->mnuPopup->hide();
        ASSERT_TRUE(found) << caption;
        found->trigger();
    }
    static QAction* FindAction(QMenu* menu, const QString& caption) {
        for (QAction* action : menu->actions()) {
            if (action->menu())
                if (QAction* inner = FindAction(action->menu(), caption))
                    return inner;
            if (!action->menu() && action->text() == caption)
                return action;
        }
        return nullptr;
    }
    template <class T>
    T* Find(const char* name) {
        return form->findChild<T*>(name);
    }
    std::string Ruleset() { return ReadWholeFile(home.UserPath("bob", "ruleset.xml")); }

    OvrinTest::ServerHome home;
    TScriptedDialogs* dialogs = nullptr;
    std::unique_ptr<TControlPeer> peer;
    std::unique_ptr<Ovrin::TManagerForm> form;
};

TEST_F(RulesetEditor, ANewRuleWithARegexMatchAndADispatchFilesMailInTheRealServer) {
    QTreeWidgetItem* rules = SelectRules();
    ASSERT_EQ(rules->childCount(), 1);
    EXPECT_EQ(rules->child(0)->text(0), "Everything goes to mail");

    Command(rules, "Create new rule");
    QTreeWidgetItem* rule = Current();
    ASSERT_EQ(rules->indexOfChild(rule), 0);  // the new rule comes first
    Find<QLineEdit>("edtDescription")->setText("Lists / developers");
    Find<QCheckBox>("cbEnabled")->setChecked(true);
    // Without actions the server would refuse the whole ruleset: nothing is written.
    const std::string before = Ruleset();
    form->SaveChanges();
    ASSERT_EQ(dialogs->errors.size(), 1u) << testing::PrintToString(dialogs->errors);
    EXPECT_NE(dialogs->errors[0].find("rule \"Lists / developers\": No actions under rule 'Lists / developers'"),
              std::string::npos)
        << dialogs->errors[0];
    EXPECT_EQ(Ruleset(), before);

    Command(rule, "Match message by header field value");
    ASSERT_EQ(rule->indexOfChild(Current()), 0);
    Find<QLineEdit>("edtHeaderFieldName")->setText("subject");
    Find<QPlainTextEdit>("memoRegexes")->setPlainText("  \\[dev\\] .*\n\n.*/build/.*\n");
    form->SaveChanges();  // in memory only until an action exists
    Command(rule, "Put message to the specified mailbox");
    ASSERT_EQ(rule->indexOfChild(Current()), 1);
    QMenu* mailboxes = Find<QMenu>("mnuMailboxes");
    QStringList picks;
    for (QAction* action : mailboxes->actions())
        picks << (action->isSeparator() ? "-" : action->text());
    EXPECT_EQ(picks, (QStringList{"lists", "mail", "spam", "-", "<delete>", "<contents>"}));
    mailboxes->actions().front()->trigger();
    EXPECT_EQ(Find<QLineEdit>("edtMailbox")->text(), "lists");
    dialogs->errors.clear();
    form->SaveChanges();
    EXPECT_TRUE(dialogs->errors.empty()) << dialogs->errors.front();
    EXPECT_EQ(dialogs->notes.back(), "Changes have been successfully saved.");

    Ovrin::TXmlDocument saved;
    ASSERT_TRUE(saved.Load(home.UserPath("bob", "ruleset.xml")));
    std::vector<Ovrin::TXmlNode> patterns = saved.SelectNodes("/ruleset/rules/rule[1]/matches/match/regexes/regex/@pattern");
    ASSERT_EQ(patterns.size(), 2u);
    EXPECT_EQ(patterns[0].Text(), "\\[dev\\] .*");
    EXPECT_EQ(patterns[1].Text(), ".*/build/.*");

    // The real server files a spooled message by the saved rules.
    home.SetParam("spool-interval-sec", "0");
    auto server = OvrinTest::StartServer(home);
    const std::string staged = home.Path() + "/staged.msg";
    WriteWholeFile(staged, "From: robot@example.org\r\nSubject: [dev] the build is broken\r\n\r\nSee.\r\n");
    fs::rename(staged, home.UserPath("bob", ".spool/1.msg"));
    auto filed = [&](const char* mailbox) {
        return !fs::is_empty(home.UserPath("bob", mailbox));
    };
    EXPECT_TRUE(OvrinTest::WaitUntil([&] { return filed("lists"); })) << server->LogText();
    EXPECT_FALSE(filed("mail"));
    EXPECT_TRUE(server->LogLinesWith("ERROR").empty()) << server->LogText();
    OvrinTest::StopServer(*server);
}

// Typing is never dropped without a word: the rule's own "add" commands keep it pending for the
// save that comes once the rule is whole, and leaving a panel with edits asks.
TEST_F(RulesetEditor, UnsavedEditsArePendingOrAskedForBeforeThePanelIsLeft) {
    using TChoice = Ovrin::TDialogs::TChoice;
    QTreeWidgetItem* rules = SelectRules();
    Command(rules, "Create new rule");
    QTreeWidgetItem* rule = Current();
    auto* description = Find<QLineEdit>("edtDescription");
    description->clear();
    QTest::keyClicks(description, "Typed first");
    Command(rule, "Match any message");
    Command(rule, "Put message to the specified mailbox");
    QTreeWidgetItem* action = Current();
    EXPECT_TRUE(dialogs->leavingQuestions.empty());
    QTest::keyClicks(Find<QLineEdit>("edtMailbox"), "lists");

    dialogs->leavingAnswer = TChoice::Cancel;
    form->trvControl->setCurrentItem(rules);
    EXPECT_EQ(dialogs->leavingQuestions, std::vector<std::string>{"The changes on this panel have not been saved."});
    EXPECT_EQ(Current(), action);
    EXPECT_EQ(Find<QLineEdit>("edtMailbox")->text(), "lists");
    EXPECT_EQ(Ruleset().find("Typed first"), std::string::npos);

    dialogs->leavingAnswer = TChoice::Save;
    form->trvControl->setCurrentItem(rules);
    EXPECT_EQ(dialogs->leavingQuestions.size(), 2u);
    EXPECT_EQ(Current(), rules);
    EXPECT_EQ(dialogs->notes.back(), "Changes have been successfully saved.");
    Ovrin::TXmlDocument saved;
    ASSERT_TRUE(saved.Load(home.UserPath("bob", "ruleset.xml")));
    EXPECT_EQ(saved.SelectSingleNode("/ruleset/rules/rule[1]/@description").Text(), "Typed first");
    EXPECT_EQ(saved.SelectSingleNode("/ruleset/rules/rule[1]/actions/action/@mailbox").Text(), "lists");

    dialogs->leavingAnswer = TChoice::Discard;
    form->trvControl->setCurrentItem(rule);
    QTest::keyClicks(Find<QLineEdit>("edtDescription"), " and dropped");
    const std::string before = Ruleset();
    form->trvControl->setCurrentItem(rules);
    EXPECT_EQ(dialogs->leavingQuestions.size(), 3u);
    EXPECT_EQ(Current(), rules);
    EXPECT_EQ(Ruleset(), before);
    // A window closed with edits asks as well, and stays open on Cancel.
    form->trvControl->setCurrentItem(rule);
    QTest::keyClicks(Find<QLineEdit>("edtDescription"), "!");
    dialogs->leavingAnswer = TChoice::Cancel;
    EXPECT_FALSE(form->close());
    EXPECT_EQ(dialogs->leavingQuestions.size(), 4u);
}

TEST_F(RulesetEditor, ImportRefusesAFileWithoutRulesAndExportCopiesTheRuleset) {
    QTreeWidgetItem* rules = SelectRules();
    const std::string before = Ruleset();
    dialogs->chosenFile = home.Path() + "/norules.xml";
    WriteWholeFile(dialogs->chosenFile, "<?xml version=\"1.0\"?>\n<ruleset dispatched-messages=\"0\"/>\n");
    Command(rules, "Import");
    EXPECT_EQ(dialogs->questions.back(), "Imported rules will replace all the current ones, proceed ?");
    ASSERT_EQ(dialogs->errors.size(), 1u);
    EXPECT_EQ(dialogs->errors[0], dialogs->chosenFile + " doesn't look like a valid ruleset file.");
    EXPECT_EQ(Ruleset(), before);

    dialogs->chosenFile = home.Path() + "/broken.xml";
    WriteWholeFile(dialogs->chosenFile, "<ruleset><rules>");
    Command(rules, "Import");
    EXPECT_EQ(dialogs->errors.back(), dialogs->chosenFile + " can't be loaded.");
    EXPECT_EQ(Ruleset(), before);

    dialogs->chosenFile = home.Path() + "/exported.xml";
    Command(rules, "Export");
    EXPECT_EQ(dialogs->notes.back(), "The ruleset has been exported to " + dialogs->chosenFile);
    EXPECT_EQ(ReadWholeFile(dialogs->chosenFile), before);

    // A good file replaces the rules and the node shows them; mailboxes it names that the user
    // lacks are listed and made on request.
    WriteWholeFile(dialogs->chosenFile,
                   "<ruleset><rules><rule description=\"imported\" enabled=\"true\"><actions>"
                   "<action handler=\"dispatch\" mailbox=\"lists\"/><action handler=\"dispatch\" mailbox=\"news\"/>"
                   "<action handler=\"dispatch\" mailbox=\"{{x-ovrin-user-box}}\"/><action handler=\"dispatch\" "
                   "mailbox=\"paper\"/></actions></rule></rules></ruleset>\n");
    dialogs->errors.clear();
    Command(rules, "Import");
    EXPECT_TRUE(dialogs->errors.empty()) << dialogs->errors.front();
    EXPECT_EQ(dialogs->questions.back(),
              "The imported rules file messages into mailboxes that user bob does not have: news, paper. Create them ?");
    EXPECT_TRUE(fs::is_directory(home.UserPath("bob", "news")) && fs::is_directory(home.UserPath("bob", "paper")));
    EXPECT_NE(Ruleset().find("imported"), std::string::npos);
    rules = Current();
    ASSERT_EQ(rules->childCount(), 1);
    EXPECT_EQ(rules->child(0)->text(0), "imported");
}

TEST_F(RulesetEditor, ValidationWarnsWithoutBlockingTheSave) {
    QTreeWidgetItem* rules = SelectRules();
    QTreeWidgetItem* rule = rules->child(0);
    form->trvControl->setCurrentItem(rule);
    struct {
        const char* expires;
        bool warned;
    } expiries[] = {{"2005-{{my-favourite-month}}-31 00:00:00", false},
                    {"2037-12-31 23:59:59", false},
                    {"{{x-ovrin-expires-one-week}}", false},
                    {"2038-01-01 00:00:00", true},
                    {"2005-12-31", true}};
    for (const auto& c : expiries) {
        dialogs->warnings.clear();
        dialogs->notes.clear();
        Find<QLineEdit>("edtExpires")->setText(c.expires);
        form->ValidateFields();
        EXPECT_EQ(dialogs->warnings.size(), c.warned ? 1u : 0u) << c.expires;
        // Silence would leave the user guessing whether anything was checked.
        EXPECT_EQ(dialogs->notes, c.warned ? std::vector<std::string>{} : std::vector<std::string>{"All fields are valid"})
            << c.expires;
        if (c.warned) {
            EXPECT_EQ(dialogs->warnings[0].rfind("The rule expiration date appears to be broken", 0), 0u);
        }
    }
    // The "Expires" picker sets the macro and asks for header substitution.
    Find<QCheckBox>("cbApplyHeader")->setChecked(false);
    Find<QMenu>("mnuExpires")->actions().back()->trigger();
    EXPECT_EQ(Find<QLineEdit>("edtExpires")->text(), "{{x-ovrin-expires-never}}");
    EXPECT_TRUE(Find<QCheckBox>("cbApplyHeader")->isChecked());

    Command(rule, "Match message by header field value");
    struct {
        const char* names;
        bool warned;
    } names[] = {{"Sender;From", false}, {"Message-ID", false}, {"Sender; From", true}, {"", true}, {"x-;y", true}};
    Find<QPlainTextEdit>("memoRegexes")->setPlainText("{{from}} .*\n(unbalanced");
    for (const auto& c : names) {
        dialogs->warnings.clear();
        Find<QLineEdit>("edtHeaderFieldName")->setText(c.names);
        form->ValidateFields();
        ASSERT_EQ(dialogs->warnings.size(), c.warned ? 2u : 1u) << c.names;
        EXPECT_EQ(dialogs->warnings.back(), "Regular expression (unbalanced is invalid: unbalanced parenthesis");
        if (c.warned) {
            EXPECT_EQ(dialogs->warnings[0].rfind("The header field name appears to be invalid", 0), 0u);
        }
    }
    std::vector<std::string> commands = peer->Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "validate regex ..*"), commands.end());
    // Warnings never block a save.
    Find<QLineEdit>("edtHeaderFieldName")->setText("Sender; From");
    form->SaveChanges();
    EXPECT_TRUE(dialogs->errors.empty()) << testing::PrintToString(dialogs->errors);
    EXPECT_NE(Ruleset().find("header-field-name=\"Sender; From\""), std::string::npos);

    // A dispatch to a macro names its mailbox only when a message is filed.
    Command(rule, "Put message to the specified mailbox");
    for (const char* mailbox : {"{{x-ovrin-training-mailbox}}", "lists", "nowhere"}) {
        dialogs->warnings.clear();
        Find<QLineEdit>("edtMailbox")->setText(mailbox);
        form->ValidateFields();
        EXPECT_EQ(dialogs->warnings.size(), std::string(mailbox) == "nowhere" ? 1u : 0u) << mailbox;
    }
    Find<QLineEdit>("edtMailbox")->setText("lists");
    form->SaveChanges();

    Command(rule, "Process message using Python script");
    Find<QPlainTextEdit>("memoActionScript")->setPlainText("a = 1\nresult = 'mail'");
    form->ValidateFields();
    // The status bar's "noop" may land after it, so the command is looked for, not taken last.
    commands = peer->Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "validate python a = 1{{x-ovrin-crlf}}result = 'mail'"),
              commands.end());

    form->SaveChanges();
    EXPECT_TRUE(dialogs->errors.empty()) << testing::PrintToString(dialogs->errors);
    EXPECT_NE(Ruleset().find("result = 'mail'"), std::string::npos);
}

TEST_F(RulesetEditor, ASubordinateRuleOffersOnlyTheThirteenAddEntries) {
    QTreeWidgetItem* rules = SelectRules();
    QTreeWidgetItem* rule = rules->child(0);
    form->trvControl->setCurrentItem(rule);
    Ovrin::TStringArray top = Control(rule)->PopupItems();
    ASSERT_EQ(top.size(), 15u);
    EXPECT_EQ(top[13], "Create new rule");
    EXPECT_EQ(top[14], "Delete");
    Command(rule, "Insert new rule after this rule");
    QTreeWidgetItem* action = Current();
    EXPECT_EQ(action->text(0), "Insert new rule after this rule");
    ASSERT_EQ(action->childCount(), 1);
    QTreeWidgetItem* subordinate = action->child(0);
    EXPECT_EQ(subordinate->text(0), "New subordinate rule");
    Ovrin::TStringArray entries = Control(subordinate)->PopupItems();
    ASSERT_EQ(entries.size(), 13u);
    for (const std::string& entry : entries)
        EXPECT_EQ(entry.rfind("Add new ", 0), 0u) << entry;
    EXPECT_EQ(std::vector<std::string>(top.begin(), top.begin() + 13), entries);
    // The reference of an insert-after is editable; a move has none. The method shows in words
    // and a save (here refused for the empty subordinate rule) keeps its value.
    form->trvControl->setCurrentItem(action);
    EXPECT_TRUE(Find<QLineEdit>("edtReference")->isEnabled());
    EXPECT_EQ(Find<QLineEdit>("edtMethod")->text(), "Insert new rule after this rule");
    Find<QLineEdit>("edtReference")->setText("all");
    form->SaveChanges();
    EXPECT_EQ(Control(action)->GetValue("@method"), "insert-after");
    EXPECT_EQ(Control(action)->GetValue("@reference"), "all");
    Command(rule, "Stop message processing");
    EXPECT_FALSE(Find<QLineEdit>("edtReference")->isEnabled());

    // Deleting the rule removes its element from the document in memory.
    Command(rule, "Delete");
    EXPECT_EQ(rules->childCount(), 0);
}

TEST_F(RulesetEditor, TheTestWindowSpoolsTheMessageUnderItsDigest) {
    QTreeWidgetItem* rules = SelectRules();
    Command(rules, "Test");
    Ovrin::TTestForm& test = Ovrin::TestForm();
    EXPECT_TRUE(test.isVisible());
    test.memoMessage->setPlainText("Subject: hi\n\nbody\n");
    test.cbReplaceCRLFs->setChecked(false);
    test.btnTest->click();
    const std::string text = "Subject: hi\r\n\r\nbody\r\n";
    const std::string spooled = home.UserPath("bob", ".spool/" + Ovrin::SHA1Hex(text) + ".msg");
    EXPECT_EQ(ReadWholeFile(spooled), text);
    EXPECT_EQ(dialogs->notes.back(), "Test message has been spooled for later filtering.");
    EXPECT_FALSE(fs::exists(fs::temp_directory_path() / (Ovrin::SHA1Hex(text) + ".tmp")));
}

// The check before a write names the rule at fault, also inside an insert action.
TEST(RulesetCheck, NamesTheRuleTheServerWouldRefuse) {
    OvrinTest::TempDir dir;
    const std::string schema = OvrinTest::DemoDirectory() + "/mail/.template/ruleset.xsd";
    const std::string good = "<action handler=\"dispatch\" mailbox=\"mail\"/>";
    struct {
        std::string rules;
        const char* reason;  // empty: accepted
    } cases[] = {
        {"<rule description=\"r\"><actions>" + good + "</actions></rule>", ""},
        {"<rule description=\"r\"><bogus/><actions>" + good + "</actions></rule>", "rule \"r\": Element 'bogus'"},
        {"<rule description=\"r\"><actions><action handler=\"dispatch\"/></actions></rule>",
         "rule \"r\": Invalid or missing action attribute mailbox"},
        {"<rule description=\"r\"><matches><match handler=\"regex\" header-field-name=\";\" match-mode=\"any\"/>"
         "</matches><actions>" + good + "</actions></rule>",
         "rule \"r\": Invalid or empty match attribute header-field-name"},
        {"<rule description=\"outer\"><actions><action handler=\"ruleset\" method=\"insert-last\">"
         "<rule description=\"inner\"><actions/></rule></action></actions></rule>",
         "rule \"inner\" inside rule \"outer\": No actions under rule 'inner'"},
    };
    for (const auto& c : cases) {
        WriteWholeFile(dir / "r.xml", "<ruleset><rules>" + c.rules + "</rules></ruleset>");
        Ovrin::TXmlDocument document;
        ASSERT_TRUE(document.Load(dir / "r.xml"));
        std::string message;
        try {
            Ovrin::CheckRulesetForServer(document, schema);
        } catch (const std::exception& e) {
            message = e.what();
        }
        if (std::string(c.reason).empty())
            EXPECT_EQ(message, "") << c.rules;
        else
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }
}

}  // namespace
