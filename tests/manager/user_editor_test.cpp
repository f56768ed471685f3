// Users, POP3 accounts, mailboxes and messages through their controllers in the main window, on
// a temporary mail store with a scripted service on the control port; passwords, mailboxes
// and an account's security are checked by the real ovrin, and one retraining runs through
// the real service.
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QDateTime>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include "common/password_hash.h"
#include "common/text.h"
#include "manager/dialogs.h"
#include "manager/document.h"
#include "manager/globals.h"
#include "manager/manager_form.h"
#include "manager/service_control.h"
#include "store/collected_record.h"
#include "tests/manager/control_peer.h"
#include "tests/support/program_run.h"
#include "tests/support/scripted_pop3_peer.h"
#include "tests/support/server_home.h"
#include "tests/support/server_run.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/test_ca.h"
#include "tests/support/token_service.h"
#include "tests/support/service_home.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using OvrinTest::ReadWholeFile;
using OvrinTest::TControlPeer;
using OvrinTest::WriteWholeFile;

const std::string kInvalidUser =
    " is not a valid user name, the name should only contain latin letters, digits or underscores.";

class TScriptedDialogs : public Ovrin::TDialogs {
public:
    bool answer = true;
    std::vector<std::string> inputs;  // answers to the input boxes, in order
    std::vector<std::string> prompts, questions, notes, errors;
    std::function<void()> whileAsking;  // what happens elsewhere while a question is open
    bool Question(const std::string& text) override {
        questions.push_back(text);
        if (whileAsking)
            whileAsking();
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
    void Warning(const std::string& text) override { errors.push_back(text); }
    std::string InputQuery(const std::string& caption, const std::string& prompt) override {
        prompts.push_back(caption + "|" + prompt);
        std::string answer = inputs.empty() ? "" : inputs.front();
        if (!inputs.empty())
            inputs.erase(inputs.begin());
        return answer;
    }
};

std::vector<std::string> Entries(const std::string& directory) {
    std::vector<std::string> names;
    if (fs::exists(directory))
        for (const auto& entry : fs::directory_iterator(directory))
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The main window on a manager directory, driven as a user would drive it.
class TManagerDriver {
public:
    explicit TManagerDriver(const std::string& managerDirectory) {
        Ovrin::SetManagerDirectory(managerDirectory);
        auto scripted = std::make_unique<TScriptedDialogs>();
        dialogs = scripted.get();
        Ovrin::SetDialogs(std::move(scripted));
    }
    ~TManagerDriver() {
        form.reset();
        Ovrin::SetDialogs(nullptr);
    }
    bool Open() {
        form = std::make_unique<Ovrin::TManagerForm>(50);
        form->show();
        return QTest::qWaitFor([] { return Ovrin::ServiceControl().IsRunning() && !Ovrin::MailDirectory().empty(); },
                               20000);
    }

    // Selects each node of a path of captions in turn, as clicks would, so each builds its children.
    QTreeWidgetItem* Select(const QString& path) {
        QTreeWidgetItem* item = nullptr;
        for (const QString& caption : path.split('/')) {
            QTreeWidgetItem* next = nullptr;
            int count = item ? item->childCount() : form->trvControl->topLevelItemCount();
            for (int i = 0; i < count && !next; ++i) {
                QTreeWidgetItem* child = item ? item->child(i) : form->trvControl->topLevelItem(i);
                if (child->text(0) == caption)
                    next = child;
            }
            if (!next) {
                ADD_FAILURE() << "no node " << caption.toStdString() << " on the way to " << path.toStdString();
                return nullptr;
            }
            item = next;
            form->trvControl->setCurrentItem(item);
        }
        return item;
    }
    QTreeWidgetItem* Current() const { return form->trvControl->currentItem(); }
    QString CurrentPath() const {
        QString path;
        for (QTreeWidgetItem* up = Current(); up; up = up->parent())
            path = up->text(0) + (path.isEmpty() ? "" : "/" + path);
        return path;
    }
    // Through the tree's popup menu, as a click would, so errors reach the error box.
    void Command(const QString& path, const std::string& caption) {
        QTreeWidgetItem* item = Select(path);
        ASSERT_TRUE(item);
        form->ShowPopup(item, QPoint(5, 5));
        QAction* found = nullptr;
        for (QAction* action : form->mnuPopup->actions())
            if (action->text() == QString::fromStdString(caption))
                found = action;
        form->mnuPopup->hide();
        ASSERT_TRUE(found) << caption;
        found->trigger();
    }
    template <class T>
    T* Find(const char* name) {
        T* found = form->findChild<T*>(name);
        EXPECT_TRUE(found) << name;
        return found;
    }

    TScriptedDialogs* dialogs = nullptr;
    std::unique_ptr<Ovrin::TManagerForm> form;
};

// A mail store with its .template (placeholders and all, as in git) and the user "ann" with a
// mailbox "work", behind a scripted service that refuses the commands in `refused`.
class UserEditor : public testing::Test {
protected:
    void SetUp() override {
        fs::copy(OvrinTest::DemoDirectory() + "/mail/.template", home.MailDirectory() + "/.template",
                 fs::copy_options::recursive);
        home.AddUser("ann");
        fs::create_directory(Path("ann/work"));
        std::string mail = home.MailDirectory();
        peer = std::make_unique<TControlPeer>([mail, this](const std::string& command) -> std::string {
            {
                std::lock_guard hold(lock);
                if (refused.count(command))
                    return "err refused " + command + "\r\n";
            }
            if (command == "get config mail-directory")
                return "ok " + mail + "\r\n";
            if (command == "get config tls-ca-file") {
                std::lock_guard hold(lock);
                return caFile.empty() ? "err not set\r\n" : "ok " + caFile + "\r\n";
            }
            if (command.rfind("get config ", 0) == 0)
                return "ok 1\r\n";
            return "ok\r\n";
        });
        ASSERT_TRUE(manager.Open());
    }

    std::string Path(const std::string& relative) const { return home.MailDirectory() + "/" + relative; }
    void Refuse(std::set<std::string> commands) {
        std::lock_guard hold(lock);
        refused = std::move(commands);
    }
    // The commands that came after the given count.
    std::vector<std::string> CommandsSince(size_t from) {
        std::vector<std::string> all = peer->Commands(), tail;
        for (size_t i = from; i < all.size(); ++i)
            if (all[i] != "noop")
                tail.push_back(all[i]);
        return tail;
    }
    std::vector<std::string>& Errors() { return manager.dialogs->errors; }
    // The mailbox nodes of ann as the tree shows them.
    QStringList Mailboxes() {
        QStringList names;
        QTreeWidgetItem* mailboxes = manager.Select("Users/ann/Mailboxes");
        for (int i = 0; mailboxes && i < mailboxes->childCount(); ++i)
            names << mailboxes->child(i)->text(0);
        return names;
    }
    std::vector<std::string>& Notes() { return manager.dialogs->notes; }

    OvrinTest::ServerHome home;
    std::mutex lock;
    std::set<std::string> refused;
    std::string caFile;  // the server's tls-ca-file as the service tells it
    std::unique_ptr<TControlPeer> peer;
    TManagerDriver manager{home.Path()};
};

TEST_F(UserEditor, NewUsersComeFromTheTemplateOnceAndOnlyUnderValidNames) {
    manager.dialogs->inputs = {"bob"};
    manager.Command("Users", "Create new user");
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    EXPECT_EQ(manager.dialogs->prompts.back(), "Creating new user|New user name:");
    EXPECT_EQ(manager.CurrentPath(), "Users/bob");
    // What the template holds, its directories empty (the template's git placeholders stay behind).
    EXPECT_EQ(Entries(Path("bob")), (std::vector<std::string>{".raw", ".spool", "mail", "ruleset.xml", "ruleset.xsd",
                                                              "spam", "user.xml"}));
    for (const char* file : {"user.xml", "ruleset.xml", "ruleset.xsd"})
        EXPECT_EQ(ReadWholeFile(Path("bob/") + file), ReadWholeFile(Path(".template/") + file)) << file;
    for (const char* directory : {".raw", ".spool", "mail", "spam"})
        EXPECT_TRUE(fs::is_empty(Path("bob/") + directory)) << directory;
    EXPECT_EQ(manager.Current()->childCount(), 3);  // Accounts, Rules, Mailboxes: the new user.xml loads

    const std::string longest(32, 'x');
    struct {
        std::string name;
        std::string error;  // empty: no error
    } cases[] = {
        {"bob", "User bob already exists."},
        {"a b", "a b" + kInvalidUser},
        {"a.b", "a.b" + kInvalidUser},
        {"x-y", "x-y" + kInvalidUser},
        {std::string(33, 'x'), std::string(33, 'x') + kInvalidUser},
        {"", ""},  // cancelled: nothing happens
        {longest, ""},
    };
    for (const auto& c : cases) {
        Errors().clear();
        manager.dialogs->inputs = {c.name};
        manager.Command("Users", "Create new user");
        EXPECT_EQ(Errors(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error}) << c.name;
    }
    EXPECT_EQ(Entries(home.MailDirectory()), (std::vector<std::string>{".template", "ann", "bob", longest}));
    EXPECT_EQ(ReadWholeFile(Path("bob/user.xml")), ReadWholeFile(Path(".template/user.xml")));
    // No password yet: the field is empty, and a save leaves it unset.
    manager.Select("Users/bob");
    EXPECT_EQ(manager.Find<QLineEdit>("edtPOP3ServerPassword")->text(), "");
    manager.form->SaveChanges();
    EXPECT_EQ(ReadWholeFile(Path("bob/user.xml")).find("hash="), std::string::npos);
}

TEST_F(UserEditor, TheUserPanelWritesParametersAndOnlyAChangedPasswordWhichTheServerAccepts) {
    // A file that does not load: the error is shown and the user's lock given back.
    WriteWholeFile(Path("ann/user.xml"), "<user><params>");
    size_t before = peer->Commands().size();
    manager.Select("Users/ann");
    EXPECT_EQ(Errors(), std::vector<std::string>{"Unable to read configuration file from " + Path("ann/user.xml")});
    EXPECT_EQ(CommandsSince(before), (std::vector<std::string>{"lock user ann", "unlock user ann"}));
    EXPECT_EQ(manager.Current()->childCount(), 0);
    Errors().clear();
    manager.Select("Users");

    WriteWholeFile(Path("ann/user.xml"),
                   "<user><params><param name=\"full-name\" value=\"Ann\"/></params><pop3-server>"
                   "<authentication handler=\"plaintext\" password=\"secret\"/></pop3-server><pop3-clients/></user>\n");
    before = peer->Commands().size();
    manager.Select("Users/ann");
    EXPECT_EQ(CommandsSince(before), (std::vector<std::string>{"lock user ann", "unlock user ann"}));
    auto* parameters = manager.Find<QTableWidget>("kveUserOptions");
    auto* password = manager.Find<QLineEdit>("edtPOP3ServerPassword");
    ASSERT_EQ(parameters->rowCount(), 1);
    EXPECT_EQ(parameters->item(0, 1)->text(), "Ann");
    EXPECT_EQ(password->text(), "************");
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);

    // Values with slashes, a backslash at the end, and a row left empty.
    const std::pair<QString, QString> added[] = {{"home", " /srv/mail/ann "}, {"share", "C:\\mail\\"}, {"", ""}};
    for (const auto& [name, value] : added) {
        manager.Find<QPushButton>("btnAddUserParam")->click();
        parameters->item(parameters->rowCount() - 1, 0)->setText(name);
        parameters->item(parameters->rowCount() - 1, 1)->setText(value);
    }
    // A value without a name is refused, not dropped without a word.
    parameters->item(parameters->rowCount() - 1, 1)->setText("orphan");
    manager.form->SaveChanges();
    EXPECT_EQ(Errors(), std::vector<std::string>{"The user parameter in row 4 has a value but no name."});
    Errors().clear();
    parameters->item(parameters->rowCount() - 1, 1)->setText("");
    const size_t beforeSave = peer->Commands().size();
    manager.form->SaveChanges();
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    EXPECT_EQ(Notes().back(), "Changes have been successfully saved.");
    EXPECT_EQ(CommandsSince(beforeSave), (std::vector<std::string>{"lock user ann", "unlock user ann"}));
    Ovrin::TXmlDocument saved;
    ASSERT_TRUE(saved.Load(Path("ann/user.xml")));
    std::vector<std::pair<std::string, std::string>> params;
    for (const Ovrin::TXmlNode& param : saved.SelectNodes("/user/params/param"))
        params.emplace_back(param.SelectSingleNode("@name").Text(), param.SelectSingleNode("@value").Text());
    EXPECT_EQ(params, (std::vector<std::pair<std::string, std::string>>{
                          {"full-name", "Ann"}, {"home", "/srv/mail/ann"}, {"share", "C:\\mail\\"}}));
    // The password field was not touched: the authentication element is as it was.
    ASSERT_TRUE(saved.SelectSingleNode("/user/pop3-server/authentication"));
    EXPECT_EQ(saved.SelectNodes("/user/pop3-server/authentication/@*").size(), 2u);
    EXPECT_EQ(saved.SelectSingleNode("/user/pop3-server/authentication/@password").Text(), "secret");

    // Names are unique: nothing is written.
    const std::string good = ReadWholeFile(Path("ann/user.xml"));
    parameters->item(2, 0)->setText("home");
    manager.form->SaveChanges();
    EXPECT_EQ(Errors(), std::vector<std::string>{"The user parameter home is given more than once."});
    EXPECT_EQ(ReadWholeFile(Path("ann/user.xml")), good);
    parameters->setCurrentCell(2, 0);
    manager.Find<QPushButton>("btnDeleteUserParam")->click();

    // A password the server would refuse is refused with the reason, and nothing is written.
    password->setText(QString::fromStdString(std::string(257, 'p')));
    Errors().clear();
    manager.form->SaveChanges();
    EXPECT_EQ(Errors(), std::vector<std::string>{
                            "The password is longer than 256 bytes, the POP3 server would not accept it."});
    EXPECT_EQ(ReadWholeFile(Path("ann/user.xml")), good);

    const std::string newPassword = "n3w/pa$$ with spaces";
    password->setText(QString::fromStdString(newPassword));
    Errors().clear();
    manager.form->SaveChanges();
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    ASSERT_TRUE(saved.Load(Path("ann/user.xml")));
    EXPECT_EQ(saved.SelectNodes("/user/params/param").size(), 2u);
    Ovrin::TXmlNode authentication = saved.SelectSingleNode("/user/pop3-server/authentication");
    EXPECT_EQ(authentication.SelectSingleNode("@handler").Text(), "hash");
    EXPECT_EQ(authentication.SelectSingleNode("@method").Text(), "crypt");
    const std::string hash = authentication.SelectSingleNode("@hash").Text();
    EXPECT_EQ(hash.rfind("$y$", 0), 0u) << hash;
    EXPECT_TRUE(Ovrin::CheckCryptHash(newPassword, hash));
    EXPECT_FALSE(authentication.SelectSingleNode("@password"));  // the old password in clear is gone
    EXPECT_FALSE(authentication.SelectSingleNode("@salt"));

    // The real server takes the new password and no longer the old one.
    auto server = OvrinTest::StartServer(home);
    auto login = [&](const std::string& password) {
        OvrinTest::ProgramResult result = OvrinTest::RunProgram(
            {"python3", OvrinTest::POP3ClientScript(), std::to_string(home.POP3Port()), "user ann", "pass " + password,
             "quit"},
            60);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result.output;
    };
    EXPECT_NE(login(newPassword).find("> pass " + newPassword + "\n+OK Mailbox ready\n"), std::string::npos);
    EXPECT_NE(login("secret").find("> pass secret\nERR -ERR [AUTH] Authentication failed\n"), std::string::npos);
    OvrinTest::StopServer(*server);
}

TEST_F(UserEditor, AccountsAreCreatedEditedAndDeletedInTheUserFile) {
    manager.Select("Users/ann");
    manager.Command("Users/ann/Accounts", "Create new account");
    EXPECT_EQ(manager.CurrentPath(), "Users/ann/Accounts/user_name@server.address:110");
    auto* host = manager.Find<QLineEdit>("edtPOP3HostName");
    auto* port = manager.Find<QLineEdit>("edtPOP3Port");
    auto* name = manager.Find<QLineEdit>("edtPOP3UserName");
    auto* password = manager.Find<QLineEdit>("edtPOP3Password");
    EXPECT_EQ(host->text() + " " + port->text() + " " + name->text() + " " + password->text(),
              "server.address 110 user_name ************");
    EXPECT_EQ(ReadWholeFile(Path("ann/user.xml")).find("pop3-client "), std::string::npos);  // not before a save

    // A port or host the collection could never use is refused with the reason.
    name->setText("ann.smith");
    password->setText("pa/ss=1");
    const struct {
        const char* host;
        const char* port;
        std::string error;
    } addresses[] = {
        {"pop.example.org", "11x00", "The port \"11x00\" is neither a number from 1 to 65535 nor a known service name."},
        {"pop.example.org", "65536", "The port \"65536\" is neither a number from 1 to 65535 nor a known service name."},
        {"pop example.org", "110", "\"pop example.org\" is not a host name or IP address."},
        {"127.0.0.1", "pop3", ""},
        {"pop.example.org", "1995", ""},
    };
    for (const auto& c : addresses) {
        Errors().clear();
        host->setText(c.host);
        port->setText(c.port);
        manager.form->SaveChanges();
        EXPECT_EQ(Errors(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error}) << c.port;
    }
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    EXPECT_EQ(manager.Current()->text(0), "ann.smith@pop.example.org:1995");
    Ovrin::TXmlDocument saved;
    ASSERT_TRUE(saved.Load(Path("ann/user.xml")));
    Ovrin::TXmlNode account = saved.SelectSingleNode("/user/pop3-clients/pop3-client");
    ASSERT_TRUE(account);
    EXPECT_EQ(account.SelectSingleNode("@password").Text(), "cGEvc3M9MQ==");  // Base64 with its padding
    EXPECT_EQ(Ovrin::DecodeBASE64(account.SelectSingleNode("@password").Text()), "pa/ss=1");

    // The placeholder left in the field keeps the stored password.
    manager.Command("Users/ann/Accounts", "Create new account");
    manager.Select("Users/ann/Accounts/ann.smith@pop.example.org:1995");
    EXPECT_EQ(password->text(), "************");
    host->setText("pop2.example.org");
    manager.form->SaveChanges();
    ASSERT_TRUE(saved.Load(Path("ann/user.xml")));
    std::vector<Ovrin::TXmlNode> accounts = saved.SelectNodes("/user/pop3-clients/pop3-client");
    ASSERT_EQ(accounts.size(), 2u);  // the second one is written by this save too
    EXPECT_EQ(accounts[0].SelectSingleNode("@hostname").Text(), "pop2.example.org");
    EXPECT_EQ(accounts[0].SelectSingleNode("@password").Text(), "cGEvc3M9MQ==");
    EXPECT_EQ(accounts[1].SelectSingleNode("@username").Text(), "user_name");

    manager.Command("Users/ann/Accounts/ann.smith@pop2.example.org:1995", "Delete");
    manager.Select("Users/ann/Accounts");
    EXPECT_EQ(manager.Current()->childCount(), 1);
    manager.form->SaveChanges();
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    ASSERT_TRUE(saved.Load(Path("ann/user.xml")));
    accounts = saved.SelectNodes("/user/pop3-clients/pop3-client");
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].SelectSingleNode("@hostname").Text(), "server.address");

    // Collecting now says that it has started.
    const size_t before = peer->Commands().size();
    manager.Command("Users/ann", "Check mail now");
    EXPECT_EQ(CommandsSince(before), std::vector<std::string>{"check user ann"});
    EXPECT_EQ(Notes().back(), "Mail collection for user \"ann\" has been started.");
}

// The panel writes leave-on-server and its days only when they say more than the default, and
// a save takes away the record of collected messages of every account the user no longer has.
TEST_F(UserEditor, MailLeftOnTheServerIsChosenPerAccountAndARecordGoesWithItsAccount) {
    WriteWholeFile(Path("ann/user.xml"), "<user><params/><pop3-server/><pop3-clients>"
                                         "<pop3-client hostname=\"pop.example.org\" port=\"110\" username=\"ann\" "
                                         "password=\"\"/><pop3-client hostname=\"pop.example.org\" port=\"110\" "
                                         "username=\"bob\" password=\"\"/></pop3-clients></user>\n");
    const Ovrin::CMailStore store(home.MailDirectory());
    auto record = [&](const char* name) {
        return Ovrin::CCollectedRecord::PathOf(store, "ann", "pop.example.org", "110", name);
    };
    for (const char* name : {"ann", "bob", "carl"})
        WriteWholeFile(record(name), "U 1 - one\nC\n");
    manager.Select("Users/ann");
    manager.Select("Users/ann/Accounts/ann@pop.example.org:110");
    auto* leave = manager.Find<QCheckBox>("cbPOP3LeaveOnServer");
    auto* days = manager.Find<QLineEdit>("edtPOP3LeaveDays");
    EXPECT_EQ(leave->text(), "Leave a copy on the server");
    EXPECT_FALSE(leave->isChecked());
    EXPECT_EQ(days->text(), "");
    auto saved = [&] {
        Ovrin::TXmlDocument document;
        EXPECT_TRUE(document.Load(Path("ann/user.xml")));
        Ovrin::TXmlNode account = document.SelectSingleNode("/user/pop3-clients/pop3-client");
        std::string text;
        for (const char* key : {"@leave-on-server", "@leave-on-server-days"}) {
            Ovrin::TXmlNode attribute = account.SelectSingleNode(key);
            text += attribute ? attribute.Text() + " " : std::string("(none) ");
        }
        return text;
    };
    const struct {
        bool checked;
        const char* days;
        const char* written;
    } cases[] = {{true, "", "true (none) "}, {true, "14", "true 14 "}, {false, "", "(none) (none) "}};
    for (const auto& c : cases) {
        leave->setChecked(c.checked);
        days->setText(c.days);
        manager.form->SaveChanges();
        ASSERT_TRUE(Errors().empty()) << Errors().front();
        EXPECT_EQ(saved(), c.written);
    }
    EXPECT_TRUE(std::filesystem::exists(record("ann")));
    EXPECT_TRUE(std::filesystem::exists(record("bob")));
    EXPECT_FALSE(std::filesystem::exists(record("carl")));  // no such account

    manager.Command("Users/ann/Accounts/bob@pop.example.org:110", "Delete");
    EXPECT_TRUE(std::filesystem::exists(record("bob")));  // not before the save
    manager.form->SaveChanges();
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    EXPECT_FALSE(std::filesystem::exists(record("bob")));
    EXPECT_TRUE(std::filesystem::exists(record("ann")));
}

TEST_F(UserEditor, AnAccountsSecurityIsChosenAndTheServerConnectsAsItSays) {
    OvrinTest::ScriptedPOP3Peer remote({"Subject: one\r\n\r\nbody\r\n"});
    const std::string account = "<pop3-client hostname=\"127.0.0.1\" port=\"" + std::to_string(remote.Port()) +
                                "\" username=\"remote\" password=\"c2VjcmV0\"";
    WriteWholeFile(Path("ann/user.xml"), "<user><params/><pop3-server/><pop3-clients>" + account +
                                             " security=\"by hand\"/></pop3-clients></user>\n");
    const QString path = QString::fromStdString("Users/ann/Accounts/remote@127.0.0.1:" + std::to_string(remote.Port()));
    manager.Select("Users/ann");
    manager.Select(path);
    auto* security = manager.Find<QComboBox>("cmbPOP3Security");
    EXPECT_EQ(security->currentText(), "by hand");  // a value the choice does not know is kept
    auto saved = [&] {
        Ovrin::TXmlDocument document;
        EXPECT_TRUE(document.Load(Path("ann/user.xml")));
        Ovrin::TXmlNode attribute = document.SelectSingleNode("/user/pop3-clients/pop3-client/@security");
        return attribute ? attribute.Text() : std::string("(none)");
    };
    // The first choice lets the port decide: no attribute, as in files from before the choice.
    for (const char* value : {"tls", "", "starttls"}) {
        security->setCurrentIndex(security->findData(QString(value)));
        manager.form->SaveChanges();
        ASSERT_TRUE(Errors().empty()) << Errors().front();
        EXPECT_EQ(saved(), *value ? value : "(none)");
    }
    EXPECT_EQ(security->itemText(0).toStdString(), "By port: TLS on port 995, none on any other");

    // The server reads the file: it asks for STLS first and, refused, never logs in.
    auto server = OvrinTest::StartServer(home);
    EXPECT_EQ(server->Command("check user ann"), "ok");
    EXPECT_TRUE(server->WaitForLog("when asked 'STLS  ' replied with '-ERR Unknown command or message'"))
        << server->LogText();
    OvrinTest::StopServer(*server);
    EXPECT_EQ(remote.Commands(), std::vector<std::string>{"STLS"});
}

TEST_F(UserEditor, MailboxesAreCreatedAndOnlyEmptyOrdinaryOnesRemovedUnderBothLocks) {
    manager.Select("Users/ann");
    manager.dialogs->inputs = {"a b", "old"};
    manager.Command("Users/ann/Mailboxes", "Create new mailbox");
    EXPECT_EQ(Errors(), std::vector<std::string>{"a b is not a valid mailbox name, the name should only contain latin "
                                                 "letters, digits or underscores."});
    manager.Command("Users/ann/Mailboxes", "Create new mailbox");
    EXPECT_EQ(manager.dialogs->prompts.back(), "Creating new mailbox|New mailbox name for user ann:");
    EXPECT_EQ(manager.CurrentPath(), "Users/ann/Mailboxes/old");
    EXPECT_TRUE(fs::is_directory(Path("ann/old")));

    // Special mailboxes are refused before any lock.
    size_t before = peer->Commands().size();
    Errors().clear();
    manager.Command("Users/ann/Mailboxes/spam", "Delete");
    EXPECT_EQ(Errors(), std::vector<std::string>{"\"spam\" is a special mailbox and may not be deleted."});
    EXPECT_TRUE(CommandsSince(before).empty());

    const std::vector<std::string> all = {"lock user ann", "lock ruleset ann", "unlock ruleset ann", "unlock user ann"};
    struct {
        const char* mailbox;
        std::set<std::string> refused;
        bool answer;
        std::string error;
        std::vector<std::string> commands;
        bool removed;
    } cases[] = {
        {"work", {}, true, "Mailbox \"work\" cannot be deleted because it contains messages or other files.", all, false},
        {"old", {}, false, "", {}, false},  // asked before any lock
        {"old", {"lock ruleset ann"}, true, "refused lock ruleset ann", {"lock user ann", "lock ruleset ann",
                                                                        "unlock user ann"}, false},
        {"old", {"lock ruleset ann", "unlock user ann"}, true, "Failed to unlock user \"ann\"",
         {"lock user ann", "lock ruleset ann", "unlock user ann"}, false},
        {"old", {"unlock ruleset ann", "unlock user ann"}, true, "Failed to unlock user \"ann\"", all, true},
        {"old", {"unlock ruleset ann"}, true, "Failed to unlock ruleset \"ann\"", all, true},
    };
    WriteWholeFile(Path("ann/work/1.msg"), "Subject: keep\r\n\r\nx\r\n");
    for (const auto& c : cases) {
        fs::create_directory(Path("ann/old"));
        manager.Command("Users/ann/Mailboxes", "Refresh");
        Refuse(c.refused);
        Errors().clear();
        manager.dialogs->answer = c.answer;
        before = peer->Commands().size();
        manager.Command(QString("Users/ann/Mailboxes/") + c.mailbox, "Delete");
        EXPECT_EQ(Errors(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error})
            << c.mailbox << " " << testing::PrintToString(c.refused);
        EXPECT_EQ(CommandsSince(before), c.commands) << testing::PrintToString(c.refused);
        EXPECT_EQ(fs::exists(Path(std::string("ann/") + c.mailbox)), !c.removed);
        EXPECT_EQ(Mailboxes().contains(c.mailbox), !c.removed);  // the tree shows what is on disk
    }
    fs::create_directory(Path("ann/old"));
    manager.Command("Users/ann/Mailboxes", "Refresh");
    Refuse({});
    manager.dialogs->answer = true;
    Errors().clear();
    manager.Command("Users/ann/Mailboxes/old", "Delete");
    EXPECT_EQ(manager.dialogs->questions.back(), "Are you sure you want to remove mailbox \"old\" ?");
    EXPECT_TRUE(Errors().empty());
    EXPECT_FALSE(fs::exists(Path("ann/old")));
    EXPECT_EQ(Mailboxes(), (QStringList{"mail", "spam", "work"}));
    EXPECT_EQ(ReadWholeFile(Path("ann/work/1.msg")), "Subject: keep\r\n\r\nx\r\n");
}

TEST_F(UserEditor, RefilterAndEmptyMoveNothingWhileAMailClientHoldsTheMailbox) {
    WriteWholeFile(Path("ann/user.xml"), "<user><params/><pop3-server><authentication handler=\"plaintext\" "
                                         "password=\"secret\"/></pop3-server><pop3-clients/></user>\n");
    WriteWholeFile(Path("ann/work/a.msg"), "Subject: a\r\n\r\na\r\n");
    WriteWholeFile(Path("ann/work/b.msg"), "Subject: b\r\n\r\nb\r\n");
    home.SetParam("spool-interval-sec", "600");  // spooled messages stay where the manager put them
    auto server = OvrinTest::StartServer(home);
    const std::string release = home.Path() + "/release";
    OvrinTest::ProgramResult client;
    std::thread session([&] {
        client = OvrinTest::RunProgram({"python3", OvrinTest::POP3ClientScript(), std::to_string(home.POP3Port()),
                                        "user ann/work", "pass secret", "stat", "hold " + release, "quit"},
                                       60);
    });
    ASSERT_TRUE(OvrinTest::WaitUntil([&] { return fs::exists(Path("ann/work/.lock")); })) << server->LogText();
    manager.Select("Users/ann");
    for (const char* command : {"Re-filter", "Empty"}) {
        Errors().clear();
        manager.Command("Users/ann/Mailboxes/work", command);
        EXPECT_EQ(Errors(), std::vector<std::string>{"The mailbox is busy, the server is accessing it at this moment."})
            << command;
    }
    EXPECT_EQ(manager.dialogs->questions, std::vector<std::string>{"Are you sure you want to delete 2 message(s) ?"});
    EXPECT_EQ(Entries(Path("ann/work")), (std::vector<std::string>{".lock", "a.msg", "b.msg"}));
    EXPECT_TRUE(Entries(Path("ann/.spool")).empty());
    WriteWholeFile(release, "");
    session.join();
    EXPECT_NE(client.output.find("> stat\n2 34\n"), std::string::npos) << client.output;
    EXPECT_NE(client.output.find("> quit\n+OK Closing connection\n"), std::string::npos) << client.output;

    // Free again: the server gave the lock up, and the manager's own goes with its command.
    Errors().clear();
    manager.Command("Users/ann/Mailboxes/work", "Re-filter");
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    EXPECT_EQ(Notes().back(), "2 message(s) have been spooled for later re-filtering.");
    EXPECT_TRUE(Entries(Path("ann/work")).empty());
    EXPECT_EQ(Entries(Path("ann/.spool")), (std::vector<std::string>{"a.msg", "b.msg"}));
    manager.Command("Users/ann/Mailboxes/work", "Re-filter");
    manager.Command("Users/ann/Mailboxes/work", "Empty");
    EXPECT_EQ(std::vector<std::string>(Notes().end() - 2, Notes().end()),
              (std::vector<std::string>{"The mailbox is empty, no messages to re-filter.", "The mailbox is already empty."}));

    // A POP3 login is taken again once the manager is done.
    EXPECT_NE(OvrinTest::RunProgram({"python3", OvrinTest::POP3ClientScript(), std::to_string(home.POP3Port()),
                                     "user ann/work", "pass secret", "stat", "quit"},
                                    60)
                  .output.find("> stat\n0 0\n"),
              std::string::npos);
    OvrinTest::StopServer(*server);
}

TEST_F(UserEditor, RefilterStopsAtAFailedMoveAndEmptyAsksFirstBothGivingTheLockBack) {
    for (const char* name : {"a.msg", "b.MSG", "c.txt"})
        WriteWholeFile(Path("ann/work/") + name, "Subject: x\r\n\r\nx\r\n");
    WriteWholeFile(Path("ann/.spool/a.msg"), "already spooled");
    manager.Select("Users/ann");
    manager.Command("Users/ann/Mailboxes/work", "Re-filter");
    EXPECT_EQ(Errors(), std::vector<std::string>{"Unable to move message file " + Path("ann/work/a.msg") +
                                                 " to the spool directory"});
    EXPECT_EQ(ReadWholeFile(Path("ann/.spool/a.msg")), "already spooled");  // never replaced
    Errors().clear();
    manager.dialogs->answer = false;
    manager.Command("Users/ann/Mailboxes/work", "Empty");
    EXPECT_EQ(manager.dialogs->questions.back(), "Are you sure you want to delete 2 message(s) ?");
    EXPECT_EQ(Entries(Path("ann/work")), (std::vector<std::string>{"a.msg", "b.MSG", "c.txt"}));
    manager.dialogs->answer = true;
    manager.Command("Users/ann/Mailboxes/work", "Empty");
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(Notes().back(), "2 message(s) have been deleted.");
    EXPECT_EQ(Entries(Path("ann/work")), std::vector<std::string>{"c.txt"});  // no .lock left behind
    EXPECT_EQ(Entries(Path("ann/.spool")), std::vector<std::string>{"a.msg"});
}

// The list shows each message's From, Subject, Date and Size as mail readers do, encoded words
// decoded, newest first and sortable by each column; the commands act on the selected rows.
// A shown mailbox follows its directory: mail that arrives or goes shows without a Refresh, and
// an empty mailbox offers nothing to expand.
TEST_F(UserEditor, AShownMailboxFollowsItsDirectory) {
    QTreeWidgetItem* work = manager.Select("Users/ann/Mailboxes/work");
    ASSERT_TRUE(work);
    EXPECT_EQ(work->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
    WriteWholeFile(Path("ann/work/a.msg"), "Subject: a\r\n\r\na\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return work->child(0)->text(0) == "1 message(s)"; }, 10000));
    EXPECT_EQ(work->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);

    // A message arriving while one is chosen and previewed neither drops the choice nor the preview.
    manager.Select("Users/ann/Mailboxes/work/1 message(s)");
    auto* list = manager.Find<QTreeWidget>("lbMailboxMessages");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    list->setCurrentItem(list->topLevelItem(0));
    WriteWholeFile(Path("ann/work/b.msg"), "Subject: b\r\n\r\nb\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->topLevelItemCount() == 2; }, 10000));
    EXPECT_EQ(manager.CurrentPath(), "Users/ann/Mailboxes/work/2 message(s)");
    ASSERT_EQ(list->selectedItems().size(), 1);
    EXPECT_EQ(list->selectedItems()[0]->toolTip(0), "a.msg");
    EXPECT_EQ(list->currentItem(), list->selectedItems()[0]);
    EXPECT_EQ(manager.Find<QLabel>("lblSubject")->text(), "Subject: a");
    EXPECT_TRUE(manager.Find<QPushButton>("btnDeleteMessages")->isEnabled());
    fs::remove(Path("ann/work/a.msg"));
    fs::remove(Path("ann/work/b.msg"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->topLevelItemCount() == 0; }, 10000));
    EXPECT_EQ(work->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
    EXPECT_TRUE(Errors().empty());
}

TEST_F(UserEditor, TheMessageListShowsTheHeadersPreviewsDeletesAndMovesOnlyWhatTheServerWillTrain) {
    WriteWholeFile(Path("ann/mail/first-one.msg"),
                   "From: =?ISO-8859-1?Q?Andr=E9?= <andre@example.org>\r\nTo: ann@example.org\r\nSubject: "
                   "=?UTF-8?B?QnVkZ2V0IOKCrA==?=\r\n =?utf-8?q?_2027?=\r\nDate: Tue, 01 Dec 2026 10:00:00 +0000\r\n"
                   "X-Other: y\r\n\r\nLine one\r\nFrom: not a header\r\n");
    WriteWholeFile(Path("ann/mail/second-one.msg"), "Subject: two =?x-unknown?Q?kept?=\r\nDate: Wed, 02 Dec 2026 "
                                                    "10:00:00 +0000\r\n\r\ntwo\r\n");
    WriteWholeFile(Path("ann/mail/third.msg"), "Subject: three\r\nDate: Mon, 30 Nov 2026 10:00:00 +0000\r\n\r\n"
                                               "three has the longest body of them all, by far, by far\r\n");
    Refuse({"train file first-one.msg work"});
    manager.Select("Users/ann/Mailboxes/mail/3 message(s)");
    auto* list = manager.Find<QTreeWidget>("lbMailboxMessages");
    auto* moveTrain = manager.Find<QPushButton>("btnMoveTrain");
    auto* remove = manager.Find<QPushButton>("btnDeleteMessages");
    auto* selectAll = manager.Find<QPushButton>("btnSelectAll");
    ASSERT_EQ(list->topLevelItemCount(), 3);
    EXPECT_EQ(list->toolTip().toStdString(), Path("ann/mail"));
    EXPECT_FALSE(moveTrain->isEnabled() || remove->isEnabled());
    EXPECT_TRUE(selectAll->isEnabled());
    QStringList targets;
    for (QAction* action : manager.Find<QMenu>("mnuMailboxTargets")->actions())
        targets << action->text() + (action->isEnabled() ? "" : " (off)");
    EXPECT_EQ(targets, (QStringList{"mail (off)", "spam", "work"}));

    auto column = [&](int index) {
        QStringList texts;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            texts << list->topLevelItem(i)->text(index);
        return texts;
    };
    auto row = [&](const char* name) {
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->toolTip(0) == name)
                return list->topLevelItem(i);
        ADD_FAILURE() << "no row for " << name;
        return list->topLevelItem(0);
    };
    EXPECT_EQ(column(1), (QStringList{"two =?x-unknown?Q?kept?=", "Budget € 2027", "three"}));  // newest first
    EXPECT_EQ(column(0), (QStringList{"", "André <andre@example.org>", ""}));
    EXPECT_EQ(column(2).front(), QDateTime(QDate(2026, 12, 2), QTime(10, 0), Qt::UTC).toLocalTime().toString("yyyy-MM-dd HH:mm"));
    list->sortByColumn(1, Qt::AscendingOrder);
    EXPECT_EQ(column(1), (QStringList{"Budget € 2027", "three", "two =?x-unknown?Q?kept?="}));
    list->sortByColumn(3, Qt::DescendingOrder);
    EXPECT_EQ(column(1).front(), "Budget € 2027");
    EXPECT_EQ(column(3).back(), "81 B");  // "two", the smallest
    list->sortByColumn(2, Qt::DescendingOrder);

    list->setCurrentItem(row("first-one.msg"));
    EXPECT_EQ(manager.Find<QLabel>("lblFrom")->text(), "From: André <andre@example.org>");
    EXPECT_EQ(manager.Find<QLabel>("lblTo")->text(), "To: ann@example.org");
    EXPECT_EQ(manager.Find<QLabel>("lblSubject")->text(), "Subject: Budget € 2027");
    EXPECT_EQ(manager.Find<QPlainTextEdit>("memoMailboxMessage")->toPlainText(), "Line one\nFrom: not a header\n");
    list->setCurrentItem(row("third.msg"));
    EXPECT_EQ(manager.Find<QLabel>("lblFrom")->text(), "From:");

    list->clearSelection();
    EXPECT_FALSE(moveTrain->isEnabled() || remove->isEnabled());
    EXPECT_TRUE(selectAll->isEnabled());
    selectAll->click();
    EXPECT_TRUE(moveTrain->isEnabled() && remove->isEnabled());
    row("third.msg")->setSelected(false);

    // The server refuses to train the first: only the second moves.
    const size_t before = peer->Commands().size();
    manager.Find<QMenu>("mnuMailboxTargets")->actions().back()->trigger();
    EXPECT_EQ(manager.dialogs->questions.back(), "Are you sure you want to move the 2 selected message(s) to a \"work\" "
                                                 "mailbox, retraining the ruleset accordingly ?");
    EXPECT_EQ(CommandsSince(before),
              (std::vector<std::string>{"train file second-one.msg work", "train file first-one.msg work"}));
    EXPECT_EQ(Errors(), std::vector<std::string>{"Unable to send training notification to the server"});
    EXPECT_EQ(Notes().back(), "1 message file(s) have been spooled for later re-training to a \"work\" mailbox");
    EXPECT_EQ(Entries(Path("ann/mail")), (std::vector<std::string>{"first-one.msg", "third.msg"}));
    EXPECT_EQ(Entries(Path("ann/.spool")), std::vector<std::string>{"second-one.msg"});
    EXPECT_EQ(manager.CurrentPath(), "Users/ann/Mailboxes/mail/2 message(s)");

    list->clearSelection();
    row("third.msg")->setSelected(true);
    manager.dialogs->answer = false;
    remove->click();
    EXPECT_EQ(Entries(Path("ann/mail")).size(), 2u);
    manager.dialogs->answer = true;
    remove->click();
    EXPECT_EQ(manager.dialogs->questions.back(), "Are you sure you want to physically remove the selected 1 message file(s) ?");
    EXPECT_EQ(Notes().back(), "1 message file(s) have been removed");
    EXPECT_EQ(Entries(Path("ann/mail")), std::vector<std::string>{"first-one.msg"});
    EXPECT_EQ(manager.CurrentPath(), "Users/ann/Mailboxes/mail/1 message(s)");
}

// The real service behind the port: a message moved with "Move+Train" is filed where it was
// moved, and the ruleset has learnt from it; the ruleset editor, loaded before, never saves
// its stale copy over what the server wrote.
TEST(UserEditorWithTheService, MoveAndTrainFilesTheMessageAndTheRulesetLearnsWhichTheEditorKeeps) {
    OvrinTest::ServiceHome service;
    OvrinTest::ServerHome& home = service.Server();
    home.AddUser("ann");
    fs::create_directory(home.UserPath("ann", "work"));
    home.SetParam("spool-interval-sec", "1");
    home.SetParam("flush-interval-sec", "1");
    // The training rule runs only on a message being trained: it puts a rule for the message's
    // sender first, which files the sender's mail into the mailbox the message was moved to.
    home.WriteFile("mail/ann/ruleset.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<ruleset dispatched-messages="0"><rules>
  <rule id="learn" description="learn the sender" enabled="true" trainable="true" expires="2037-12-31 23:59:59" apply-header="true" dispatched-messages="0">
    <matches><match handler="regex" header-field-name="x-ovrin-training-mailbox" match-mode="any"><regexes><regex pattern=".+"/></regexes></match></matches>
    <actions><action handler="ruleset" method="insert-first">
      <rule id="learnt" description="learnt from {{subject}}" enabled="true" trainable="false" expires="2037-12-31 23:59:59" apply-header="true" dispatched-messages="0">
        <matches><match handler="regex" header-field-name="x-ovrin-parsed-from-mailbox" match-mode="any"><regexes><regex pattern="{{x-ovrin-parsed-from-mailbox}}"/></regexes></match></matches>
        <actions><action handler="dispatch" mailbox="{{x-ovrin-training-mailbox}}"/></actions>
      </rule>
    </action></actions>
  </rule>
  <rule id="all" description="everything" enabled="true" trainable="false" expires="2037-12-31 23:59:59" apply-header="false" dispatched-messages="0">
    <matches><match handler="any"/></matches>
    <actions><action handler="dispatch" mailbox="mail"/></actions>
  </rule>
</rules></ruleset>
)");
    home.WriteFile("mail/ann/.spool/in.msg", "From: Bob <bob@example.org>\r\nSubject: Quarterly budget\r\n\r\nFigures.\r\n");
    service.Start();
    ASSERT_TRUE(OvrinTest::WaitUntil([&] { return Entries(home.UserPath("ann", "mail")).size() == 1; }))
        << service.ServerLog();
    const std::string filed = Entries(home.UserPath("ann", "mail")).front();

    TManagerDriver manager(service.Path());
    ASSERT_TRUE(manager.Open());
    manager.Select("Users/ann/Rules");  // loaded before the server learns
    manager.Select("Users/ann/Mailboxes/mail/1 message(s)");
    auto* list = manager.Find<QTreeWidget>("lbMailboxMessages");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->toolTip(0).toStdString(), filed);
    EXPECT_EQ(list->topLevelItem(0)->text(1), "Quarterly budget");
    list->topLevelItem(0)->setSelected(true);
    manager.Find<QMenu>("mnuMailboxTargets")->actions().back()->trigger();
    EXPECT_TRUE(manager.dialogs->errors.empty()) << manager.dialogs->errors.front();
    EXPECT_EQ(manager.dialogs->notes.back(), "1 message file(s) have been spooled for later re-training to a \"work\" mailbox");

    ASSERT_TRUE(OvrinTest::WaitUntil([&] { return Entries(home.UserPath("ann", "work")).size() == 1; }))
        << service.ServerLog();
    EXPECT_TRUE(Entries(home.UserPath("ann", "mail")).empty());
    // Written back by the flush: the learnt rule first, filled from the trained message.
    ASSERT_TRUE(OvrinTest::WaitUntil([&] {
        return ReadWholeFile(home.UserPath("ann", "ruleset.xml")).find("learnt from Quarterly budget") != std::string::npos;
    })) << ReadWholeFile(home.UserPath("ann", "ruleset.xml")) << service.ServerLog();
    Ovrin::TXmlDocument ruleset;
    ASSERT_TRUE(ruleset.Load(home.UserPath("ann", "ruleset.xml")));
    EXPECT_EQ(ruleset.SelectSingleNode("/ruleset/rules/rule[1]/@description").Text(), "learnt from Quarterly budget");
    EXPECT_EQ(ruleset.SelectSingleNode("/ruleset/rules/rule[1]/actions/action/@mailbox").Text(), "work");
    EXPECT_EQ(ruleset.SelectSingleNode("/ruleset/rules/rule[1]/matches/match/regexes/regex/@pattern").Text(),
              "bob@example\\.org");

    // A save of the editor's copy would drop the learnt rule: it is not made, and the editor says
    // why and loads the file again only when asked to.
    const std::string rulesetPath = home.UserPath("ann", "ruleset.xml");
    const std::string learnt = ReadWholeFile(rulesetPath);
    const std::string changed = rulesetPath + " has been changed by the server since it was loaded, so your changes "
                                              "have not been saved. Load it again, discarding your unsaved changes?";
    auto* save = manager.Find<QPushButton>("btnApply");
    manager.Select("Users/ann/Rules/everything");
    manager.dialogs->answer = false;
    save->click();
    EXPECT_EQ(manager.dialogs->questions.back(), changed);
    EXPECT_EQ(ReadWholeFile(rulesetPath), learnt);
    manager.dialogs->answer = true;
    save->click();
    EXPECT_EQ(manager.dialogs->questions.back(), changed);
    EXPECT_NE(manager.dialogs->notes.back(), "Changes have been successfully saved.");
    EXPECT_EQ(ReadWholeFile(rulesetPath), learnt);
    ASSERT_TRUE(manager.Select("Users/ann/Rules/learnt from Quarterly budget"));

    // The next message from the sender goes to work by the learnt rule, which counts it.
    home.WriteFile("mail/ann/.spool/next.msg", "From: bob@example.org\r\nSubject: More figures\r\n\r\nx\r\n");
    EXPECT_TRUE(OvrinTest::WaitUntil([&] { return Entries(home.UserPath("ann", "work")).size() == 2; }))
        << service.ServerLog();
    ASSERT_TRUE(OvrinTest::WaitUntil([&] {
        Ovrin::TXmlDocument counted;
        return counted.Load(rulesetPath) &&
               counted.SelectSingleNode("/ruleset/rules/rule[1]/@dispatched-messages").Text() == "1";
    })) << ReadWholeFile(rulesetPath);
    // Only counters changed since the reload: the edit is saved and the server's counts stay.
    manager.Select("Users/ann/Rules/everything");
    manager.Find<QLineEdit>("edtDescription")->setText("everything else");
    save->click();
    EXPECT_EQ(manager.dialogs->notes.back(), "Changes have been successfully saved.");
    ASSERT_TRUE(ruleset.Load(rulesetPath));
    EXPECT_EQ(ruleset.SelectSingleNode("/ruleset/rules/rule[3]/@description").Text(), "everything else");
    EXPECT_EQ(ruleset.SelectSingleNode("/ruleset/rules/rule[1]/@dispatched-messages").Text(), "1");
    EXPECT_NE(ruleset.SelectSingleNode("/ruleset/@dispatched-messages").Text(), "0");
    EXPECT_EQ(service.ServerLog().find(" ERROR "), std::string::npos) << service.ServerLog();
    manager.form.reset();
    EXPECT_EQ(service.Stop(), std::optional<int>(0));
}

// "Authorize..." runs the device authorization against a token service on loopback, the refresh
// token it brings is saved with the account (never shown), and the server collects with it from
// Dovecot, whose oauth2 password database asks the same service about the access token.
TEST_F(UserEditor, AnAccountAuthorizedByDeviceCodeIsCollectedWithTheSavedRefreshToken) {
    OvrinTest::TestCA ca;
    const OvrinTest::TestCA::Issued certificate = ca.Issue("DNS:localhost,IP:127.0.0.1");
    OvrinTest::TokenService tokens(certificate, {{"client_id", "ovrin-test"},
                                                 {"client_secret", "manager-secret-3391"},
                                                 {"device_user", "alice"},
                                                 {"approve_after", 1}});
    OvrinTest::DovecotServer dovecot({{"alice", "alice-password-1"}},
                                     OvrinTest::DovecotServer::Certificate{certificate.certificate, certificate.key},
                                     OvrinTest::DovecotServer::OAuth2{tokens.Url("/introspect"), ca.CertificateFile()});
    {
        std::lock_guard hold(lock);
        caFile = ca.CertificateFile();
    }
    home.SetParam("tls-ca-file", ca.CertificateFile());
    WriteWholeFile(Path("ann/user.xml"),
                   "<user><params/><pop3-server/><pop3-clients><pop3-client hostname=\"localhost\" port=\"" +
                       std::to_string(dovecot.TLSPort()) +
                       "\" username=\"alice\" password=\"\" security=\"tls\"/></pop3-clients></user>\n");
    const QString path = QString::fromStdString("Users/ann/Accounts/alice@localhost:" + std::to_string(dovecot.TLSPort()));
    manager.Select("Users/ann");
    manager.Select(path);

    // A preset fills the endpoints and the scope; this provider is entered by hand.
    auto* provider = manager.Find<QComboBox>("cmbOAuthProvider");
    provider->setCurrentIndex(1);
    emit provider->activated(1);
    EXPECT_EQ(manager.Find<QLineEdit>("edtOAuthTokenURL")->text(), "https://oauth2.googleapis.com/token");
    auto* auth = manager.Find<QComboBox>("cmbPOP3Auth");
    auth->setCurrentIndex(auth->findData(QString("xoauth2")));
    manager.Find<QLineEdit>("edtOAuthDeviceURL")->setText(QString::fromStdString(tokens.Url("/device")));
    manager.Find<QLineEdit>("edtOAuthTokenURL")->setText(QString::fromStdString(tokens.Url("/token")));
    manager.Find<QLineEdit>("edtOAuthScope")->setText("mail");
    manager.Find<QLineEdit>("edtOAuthClientId")->setText("ovrin-test");
    manager.Find<QLineEdit>("edtOAuthClientSecret")->setText("manager-secret-3391");
    manager.form->SaveChanges();
    ASSERT_TRUE(Errors().empty()) << Errors().front();

    // Shown again, the secret is the placeholder, and the flow still gets the stored one.
    manager.Select("Users/ann/Accounts");
    manager.Select(path);
    EXPECT_EQ(manager.Find<QLineEdit>("edtOAuthClientSecret")->text(), "************");
    auto* status = manager.Find<QLabel>("lblOAuthStatus");
    QString prompt;
    manager.Find<QPushButton>("btnOAuthAuthorize")->click();
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    ASSERT_TRUE(QTest::qWaitFor([&] {
        if (status->text().contains("WDJB-MJHT"))
            prompt = status->text();
        return status->text().startsWith("Authorized");
    }, 30000)) << status->text().toStdString();
    EXPECT_EQ(prompt.toStdString(), "Open " + tokens.Url("/activate") +
                                        " and enter the code WDJB-MJHT; waiting for the authorization...");
    manager.form->SaveChanges();
    ASSERT_TRUE(Errors().empty()) << Errors().front();
    manager.Select("Users/ann/Accounts");
    manager.Select(path);

    const nlohmann::json state = tokens.State();
    ASSERT_EQ(state["refresh"].size(), 1u);
    const std::string refreshToken = state["refresh"].begin().key();
    const std::string saved = ReadWholeFile(Path("ann/user.xml"));
    EXPECT_NE(saved.find("refresh-token=\"" + Ovrin::EncodeBASE64(refreshToken) + "\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("auth=\"xoauth2\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("scope=\"mail\""), std::string::npos) << saved;
    for (QLineEdit* edit : manager.form->findChildren<QLineEdit*>())
        EXPECT_FALSE(edit->text().contains(QString::fromStdString(refreshToken)) ||
                     edit->text().contains("manager-secret-3391"))
            << edit->objectName().toStdString();

    dovecot.Deliver("alice", "Subject: by token\r\n\r\nbody\r\n");
    auto server = OvrinTest::StartServer(home);
    EXPECT_EQ(server->Command("check user ann"), "ok");
    EXPECT_TRUE(OvrinTest::WaitUntil([&] { return dovecot.Count("alice") == 0; })) << server->LogText() << dovecot.Log();
    OvrinTest::StopServer(*server);
    EXPECT_TRUE(server->LogLinesWith(" ERROR ").empty()) << server->LogText();
    EXPECT_NE(dovecot.Log().find("Login: user=<alice>, method=XOAUTH2"), std::string::npos) << dovecot.Log();
    const std::string log = server->LogText();
    EXPECT_EQ(log.find(refreshToken), std::string::npos);
    EXPECT_EQ(log.find("manager-secret-3391"), std::string::npos);
    const nlohmann::json issued = tokens.State();  // kept alive for the loop below
    for (const auto& [token, entry] : issued["access"].items())
        EXPECT_EQ(log.find(token), std::string::npos);
}

// No lock is held while a question waits for a person: a POP3 login of the user, and a session
// on the very mailbox being emptied, are served while "Delete" and "Empty" ask.
TEST(UserEditorWithTheService, APOP3SessionIsServedWhileADeleteOrEmptyQuestionIsOpen) {
    OvrinTest::ServiceHome service;
    OvrinTest::ServerHome& home = service.Server();
    home.AddUser("ann");
    home.WriteFile("mail/ann/user.xml", "<user><params/><pop3-server><authentication handler=\"plaintext\" "
                                        "password=\"secret\"/></pop3-server><pop3-clients/></user>\n");
    fs::create_directory(home.UserPath("ann", "old"));
    fs::create_directory(home.UserPath("ann", "work"));
    home.WriteFile("mail/ann/work/a.msg", "Subject: a\r\n\r\na\r\n");
    service.Start();

    TManagerDriver manager(service.Path());
    ASSERT_TRUE(manager.Open());
    manager.Select("Users/ann");
    std::vector<std::string> sessions;
    manager.dialogs->whileAsking = [&] {
        const std::string mailbox = manager.dialogs->questions.back().find("remove") != std::string::npos ? "ann" : "ann/work";
        sessions.push_back(OvrinTest::RunProgram({"python3", OvrinTest::POP3ClientScript(), std::to_string(home.POP3Port()),
                                                  "user " + mailbox, "pass secret", "stat", "quit"},
                                                 15)
                               .output);
    };
    manager.Command("Users/ann/Mailboxes/old", "Delete");
    manager.Command("Users/ann/Mailboxes/work", "Empty");
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_NE(sessions[0].find("> stat\n0 0\n"), std::string::npos) << sessions[0];
    EXPECT_NE(sessions[1].find("> stat\n1 17\n"), std::string::npos) << sessions[1];
    EXPECT_TRUE(manager.dialogs->errors.empty()) << manager.dialogs->errors.front();
    EXPECT_FALSE(fs::exists(home.UserPath("ann", "old")));
    EXPECT_EQ(Entries(home.UserPath("ann", "work")), std::vector<std::string>{});
    manager.form.reset();
    EXPECT_EQ(service.Stop(), std::optional<int>(0));
}

}  // namespace
