// TMailboxMessagesPanel: the message list, its preview and its commands.
#include "manager/mailbox_messages_panel.h"

#include <optional>

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringDecoder>
#include <QVBoxLayout>

#include "common/file.h"
#include "common/text.h"
#include "manager/dialogs.h"
#include "manager/panel_widgets.h"

namespace Ovrin {

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Messages are 8-bit text: UTF-8 where it is valid, else Latin-1, so no byte shows as garbage.
QString Decode(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return utf8.hasError() ? QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())) : text;
}

// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadMessage(const std::string& path) {
    try {
        CFile file(path, CFile::ACCESS_READ, CFile::SHARE_READ, CFile::OPEN_EXISTING, CFile::NO_FOLLOW);
        std::string bytes;
        char buffer[65536];
        for (uint32_t got; (got = file.Read(buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, got);
        return bytes;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

TMailboxMessagesPanel::TMailboxMessagesPanel(QWidget* parent) : QWidget(parent) {
    QVBoxLayout* layout = AddTitledLayout(this, "Messages");

    lbMailboxMessages = new QListWidget(this);
    lbMailboxMessages->setObjectName("lbMailboxMessages");
    layout->addWidget(lbMailboxMessages, 2);
    auto* buttons = new QHBoxLayout();
    btnMoveTrain = new QPushButton("Move+Train", this);
    btnMoveTrain->setObjectName("btnMoveTrain");
    mnuMailboxTargets = new QMenu(btnMoveTrain);
    mnuMailboxTargets->setObjectName("mnuMailboxTargets");
    btnMoveTrain->setMenu(mnuMailboxTargets);
    btnDeleteMessages = new QPushButton("Delete", this);
    btnDeleteMessages->setObjectName("btnDeleteMessages");
    btnSelectAll = new QPushButton("Select all", this);
    btnSelectAll->setObjectName("btnSelectAll");
    buttons->addWidget(btnMoveTrain);
    buttons->addWidget(btnDeleteMessages);
    buttons->addStretch(1);
    buttons->addWidget(btnSelectAll);
    layout->addLayout(buttons);

    lblFrom = new QLabel(this);
    lblFrom->setObjectName("lblFrom");
    lblTo = new QLabel(this);
    lblTo->setObjectName("lblTo");
    lblSubject = new QLabel(this);
    lblSubject->setObjectName("lblSubject");
    for (QLabel* label : {lblFrom, lblTo, lblSubject}) {
        label->setTextFormat(Qt::PlainText);
        layout->addWidget(label);
    }
    memoMailboxMessage = NewMemo(this, "memoMailboxMessage", nullptr);
    memoMailboxMessage->setReadOnly(true);
    layout->addWidget(memoMailboxMessage, 3);
    ClearPreview();

    connect(lbMailboxMessages, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item)
            Preview(item->text().toUtf8().toStdString());
    });
    connect(lbMailboxMessages, &QListWidget::itemChanged, this, [this] { UpdateButtons(); });
    connect(btnSelectAll, &QPushButton::clicked, this, [this] { SelectAll(); });
    connect(btnDeleteMessages, &QPushButton::clicked, this, [this] {
        // The owner refreshes its node, which may free it: nothing of it is used afterwards.
        if (owner)
            Guarded([&] { owner->DeleteMessages(CheckedNames()); });
    });
}

void TMailboxMessagesPanel::ShowMessages(TOwner* newOwner, const std::string& mailboxDirectory,
                                         const TStringArray& names, const TStringArray& mailboxes,
                                         const std::string& current) {
    owner = newOwner;
    directory = mailboxDirectory;
    // A move ends by showing the panel again from inside the chosen item's signal: the old items
    // go later, not under it.
    for (QAction* action : mnuMailboxTargets->actions()) {
        mnuMailboxTargets->removeAction(action);
        action->deleteLater();
    }
    for (const std::string& mailbox : mailboxes) {
        QAction* action = mnuMailboxTargets->addAction(Q(mailbox));
        action->setEnabled(mailbox != current);
        connect(action, &QAction::triggered, this, [this, mailbox] {
            if (owner)
                Guarded([&] { owner->MoveAndTrain(CheckedNames(), mailbox); });
        });
    }
    QSignalBlocker quiet(lbMailboxMessages);
    lbMailboxMessages->clear();
    lbMailboxMessages->setToolTip(Q(directory));
    for (const std::string& name : names) {
        auto* item = new QListWidgetItem(Q(name), lbMailboxMessages);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    ClearPreview();
    btnMoveTrain->setEnabled(false);
    btnDeleteMessages->setEnabled(false);
    btnSelectAll->setEnabled(!names.empty());
}

void TMailboxMessagesPanel::Forget(const TOwner* gone) {
    if (owner == gone)
        owner = nullptr;
}

TStringArray TMailboxMessagesPanel::CheckedNames() const {
    TStringArray names;
    for (int i = 0; i < lbMailboxMessages->count(); ++i)
        if (lbMailboxMessages->item(i)->checkState() == Qt::Checked)
            names.push_back(lbMailboxMessages->item(i)->text().toUtf8().toStdString());
    return names;
}

void TMailboxMessagesPanel::SelectAll() {
    {
        QSignalBlocker quiet(lbMailboxMessages);
        for (int i = 0; i < lbMailboxMessages->count(); ++i)
            lbMailboxMessages->item(i)->setCheckState(Qt::Checked);
    }
    UpdateButtons();
}

void TMailboxMessagesPanel::UpdateButtons() {
    bool checked = !CheckedNames().empty();
    btnMoveTrain->setEnabled(checked);
    btnDeleteMessages->setEnabled(checked);
    // Stays usable while there is anything to check, so that unchecking all does not lock it.
    btnSelectAll->setEnabled(lbMailboxMessages->count() > 0);
}

void TMailboxMessagesPanel::ClearPreview() {
    lblFrom->setText("From:");
    lblTo->setText("To:");
    lblSubject->setText("Subject:");
    memoMailboxMessage->clear();
}

void TMailboxMessagesPanel::Preview(const std::string& name) {
    ClearPreview();
    std::optional<std::string> message = ReadMessage(directory + "/" + name);
    if (!message)
        return;
    std::string body;
    bool inHeader = true;
    for (size_t at = 0; at < message->size();) {
        size_t end = message->find('\n', at);
        std::string line = message->substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? message->size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!inHeader) {
            body += line + "\n";
        } else if (line.empty()) {
            inHeader = false;
        } else {
            std::string field, value;
            SplitAt(line, ":", field, value);
            field = ToLower(field);
            if (field == "from")
                lblFrom->setText("From: " + Decode(value));
            else if (field == "to")
                lblTo->setText("To: " + Decode(value));
            else if (field == "subject")
                lblSubject->setText("Subject: " + Decode(value));
        }
    }
    memoMailboxMessage->setPlainText(Decode(body));
}

QWidget* BuildMailboxMessagesPanel(QWidget* holder) { return new TMailboxMessagesPanel(holder); }

}  // namespace Ovrin
