// TTestForm: the window and the spooling of its message.
#include "manager/test_form.h"

#include <QCheckBox>
#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/exception.h"
#include "common/file.h"
#include "manager/dialogs.h"
#include "manager/process.h"
#include "manager/sha1.h"
#include "store/mail_store.h"
#include "store/message_name.h"

namespace Ovrin {

namespace {

constexpr const char* kSampleMessage =
    "From: Sender Name <sender@example.org>\n"
    "To: Recipient Name <recipient@example.org>\n"
    "Subject: A test message\n"
    "Message-ID: <test.message@example.org>\n"
    "Date: Tue, 13 Sep 2005 13:05:54 +0200\n"
    "\n"
    "This message tests the ruleset.\n";

std::string TemporaryDirectory() {
    std::string directory = ExpandEnvironment("%TEMP%");
    return directory.empty() ? QDir::tempPath().toUtf8().toStdString() : directory;
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

TTestForm::TTestForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("TestForm");
    setWindowTitle(" Enter or paste raw MIME message to test");
    resize(640, 420);
    auto* layout = new QVBoxLayout(this);
    memoMessage = new QPlainTextEdit(this);
    memoMessage->setObjectName("memoMessage");
    memoMessage->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoMessage->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    memoMessage->setPlainText(kSampleMessage);
    layout->addWidget(memoMessage, 1);
    auto* row = new QHBoxLayout();
    cbReplaceCRLFs = new QCheckBox("Replace CRLFs with LFs", this);
    btnTest = new QPushButton("Test", this);
    btnCancel = new QPushButton("Cancel", this);
    row->addWidget(cbReplaceCRLFs);
    row->addStretch(1);
    row->addWidget(btnTest);
    row->addWidget(btnCancel);
    layout->addLayout(row);
    connect(btnCancel, &QPushButton::clicked, this, &QWidget::hide);
    connect(btnTest, &QPushButton::clicked, this, [this] {
        Guarded([this] {
            Spool();
            hide();
            Dialogs().Information("Test message has been spooled for later filtering.");
        });
    });
}

void TTestForm::ShowFor(const std::string& directory) {
    userDirectory = directory;
    show();
    raise();
    activateWindow();
}

std::string TTestForm::Spool() {
    // The memo holds lines; a raw message has CR LF line ends unless asked otherwise.
    std::string text = memoMessage->toPlainText().toUtf8().toStdString();
    Replace(text, "\n", "\r\n");
    if (cbReplaceCRLFs->isChecked())
        Replace(text, "\r\n", "\n");
    std::string name = SHA1Hex(text);
    std::string temporary = TemporaryDirectory() + "/" + name + ".tmp";
    std::string target = userDirectory + "/" + kSpoolDirectory + "/" + MessageFileName(name);
    struct TRemove {
        std::string path;
        bool armed = true;
        ~TRemove() {
            if (armed)
                CFile::DeleteFile(path);
        }
    } remove{temporary};
    {
        CFile file(temporary, CFile::ACCESS_WRITE, CFile::SHARE_NONE, CFile::CREATE_ALWAYS, 0);
        file.Write(text.data(), static_cast<uint32_t>(text.size()));
        file.Flush();
    }
    // Moved whole, so the server's spool never sees a half-written file.
    if (!CFile::MoveFile(temporary, target))
        throw CMessageException("Cannot move message file to %s", target.c_str());
    remove.armed = false;
    return target;
}

TTestForm& TestForm() {
    static TTestForm* form = new TTestForm();  // lives as long as the application's windows
    return *form;
}

}  // namespace Ovrin
