// TMailboxMessagesPanel: the message list, its preview and its commands.
#include "manager/mailbox_messages_panel.h"

#include <algorithm>
#include <optional>

#include <QHBoxLayout>
#include <QLabel>
#include <QDateTime>
#include <QFileInfo>
#include <QHeaderView>
#include <QLocale>
#include <QTreeWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "common/file.h"
#include "common/text.h"
#include "manager/dialogs.h"
#include "manager/header_words.h"
#include "manager/panel_widgets.h"

namespace Ovrin {

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

constexpr uint32_t kHeaderLimit = 64 * 1024;
constexpr int kNameRole = Qt::UserRole;
constexpr int kSortRole = Qt::UserRole + 1;

// Calls field(name in lower case, value) for each header field, continuation lines unfolded,
// and returns where the body starts.
template <class Field>
size_t ForEachHeaderField(const std::string& message, Field&& field) {
    std::string name, value;
    auto flush = [&] {
        if (!name.empty())
            field(ToLower(name), TrimBlanks(value));
        name.clear();
        value.clear();
    };
    size_t at = 0;
    while (at < message.size()) {
        size_t end = message.find('\n', at);
        std::string line = message.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? message.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        if ((line[0] == ' ' || line[0] == '\t') && !name.empty()) {
            value += line;
            continue;
        }
        flush();
        SplitAt(line, ":", name, value);
    }
    flush();
    return at;
}

QString SizeText(qint64 bytes) {
    return bytes < 1024 ? QString("%1 B").arg(bytes) : QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

// Sorts the date and size columns by their values, the others by their text.
class TMessageItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override {
        int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        if (column == TMailboxMessagesPanel::kDate || column == TMailboxMessagesPanel::kSize)
            return data(column, kSortRole).toLongLong() < other.data(column, kSortRole).toLongLong();
        return text(column).compare(other.text(column), Qt::CaseInsensitive) < 0;
    }
};

// One row: From, Subject and Date from the header's first 64 KiB; a message without a readable
// date is dated by its file.
QTreeWidgetItem* MessageRow(const std::string& directory, const std::string& name) {
    const std::string path = directory + "/" + name;
    auto* item = new TMessageItem();
    QDateTime date;
    if (std::optional<std::string> head = ReadFileBytes(path, kHeaderLimit, CFile::NO_FOLLOW))
        ForEachHeaderField(*head, [&](const std::string& field, const std::string& value) {
            if (field == "from")
                item->setText(TMailboxMessagesPanel::kFrom, DecodeHeaderValue(value));
            else if (field == "subject")
                item->setText(TMailboxMessagesPanel::kSubject, DecodeHeaderValue(value));
            else if (field == "date")
                date = QDateTime::fromString(Q(value), Qt::RFC2822Date);
        });
    QFileInfo file(Q(path));
    if (!date.isValid())
        date = file.lastModified();
    item->setText(TMailboxMessagesPanel::kDate, date.toLocalTime().toString("yyyy-MM-dd HH:mm"));
    item->setData(TMailboxMessagesPanel::kDate, kSortRole, date.toMSecsSinceEpoch());
    item->setText(TMailboxMessagesPanel::kSize, SizeText(file.size()));
    item->setData(TMailboxMessagesPanel::kSize, kSortRole, file.size());
    item->setTextAlignment(TMailboxMessagesPanel::kSize, Qt::AlignRight | Qt::AlignVCenter);
    item->setData(TMailboxMessagesPanel::kFrom, kNameRole, Q(name));
    for (int column = 0; column < 4; ++column)
        item->setToolTip(column, Q(name));
    return item;
}

std::string NameOf(const QTreeWidgetItem* item) { return item->data(TMailboxMessagesPanel::kFrom, kNameRole).toString().toUtf8().toStdString(); }

}  // namespace

TMailboxMessagesPanel::TMailboxMessagesPanel(QWidget* parent) : QWidget(parent) {
    QVBoxLayout* layout = AddTitledLayout(this, "Messages");

    lbMailboxMessages = new QTreeWidget(this);
    lbMailboxMessages->setObjectName("lbMailboxMessages");
    lbMailboxMessages->setHeaderLabels({"From", "Subject", "Date", "Size"});
    lbMailboxMessages->setRootIsDecorated(false);
    lbMailboxMessages->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lbMailboxMessages->setSortingEnabled(true);
    lbMailboxMessages->sortByColumn(kDate, Qt::DescendingOrder);
    lbMailboxMessages->header()->setStretchLastSection(false);
    lbMailboxMessages->header()->setSectionResizeMode(kSubject, QHeaderView::Stretch);
    lbMailboxMessages->header()->setSectionResizeMode(kDate, QHeaderView::ResizeToContents);
    lbMailboxMessages->header()->setSectionResizeMode(kSize, QHeaderView::ResizeToContents);
    lbMailboxMessages->header()->resizeSection(kFrom, 200);
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

    connect(lbMailboxMessages, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item)
            Preview(NameOf(item));
    });
    connect(lbMailboxMessages, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
    connect(btnSelectAll, &QPushButton::clicked, this, [this] { SelectAll(); });
    connect(btnDeleteMessages, &QPushButton::clicked, this, [this] {
        // The owner refreshes its node, which may free it: nothing of it is used afterwards.
        if (owner)
            Guarded([&] { owner->DeleteMessages(SelectedNames()); });
    });
}

void TMailboxMessagesPanel::ShowMessages(TOwner* newOwner, const std::string& mailboxDirectory,
                                         const TStringArray& names, const TStringArray& mailboxes,
                                         const std::string& current) {
    owner = newOwner;
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
                Guarded([&] { owner->MoveAndTrain(SelectedNames(), mailbox); });
        });
    }
    // The same mailbox shown again (its directory changed under the user) keeps the rows the user
    // chose, the one previewed and the scroll position, as far as their files are still there.
    const bool again = mailboxDirectory == directory;
    const TStringArray selected = again ? SelectedNames() : TStringArray{};
    QTreeWidgetItem* wasCurrent = again ? lbMailboxMessages->currentItem() : nullptr;
    const std::string previewed = wasCurrent ? NameOf(wasCurrent) : std::string();
    const int scrolled = again ? lbMailboxMessages->verticalScrollBar()->value() : 0;
    directory = mailboxDirectory;

    QSignalBlocker quiet(lbMailboxMessages);
    lbMailboxMessages->clear();
    lbMailboxMessages->setToolTip(Q(directory));
    for (const std::string& name : names) {
        QTreeWidgetItem* row = MessageRow(directory, name);
        lbMailboxMessages->addTopLevelItem(row);
        if (name == previewed)
            lbMailboxMessages->setCurrentItem(row, 0, QItemSelectionModel::NoUpdate);
        if (std::find(selected.begin(), selected.end(), name) != selected.end())
            row->setSelected(true);
    }
    lbMailboxMessages->verticalScrollBar()->setValue(scrolled);
    if (QTreeWidgetItem* shown = lbMailboxMessages->currentItem())
        Preview(NameOf(shown));
    else
        ClearPreview();
    UpdateButtons();
}

void TMailboxMessagesPanel::Forget(const TOwner* gone) {
    if (owner == gone)
        owner = nullptr;
}

TStringArray TMailboxMessagesPanel::SelectedNames() const {
    TStringArray names;
    for (int i = 0; i < lbMailboxMessages->topLevelItemCount(); ++i)
        if (lbMailboxMessages->topLevelItem(i)->isSelected())
            names.push_back(NameOf(lbMailboxMessages->topLevelItem(i)));
    return names;
}

void TMailboxMessagesPanel::SelectAll() {
    lbMailboxMessages->selectAll();
    UpdateButtons();
}

void TMailboxMessagesPanel::UpdateButtons() {
    bool selected = !SelectedNames().empty();
    btnMoveTrain->setEnabled(selected);
    btnDeleteMessages->setEnabled(selected);
    btnSelectAll->setEnabled(lbMailboxMessages->topLevelItemCount() > 0);
}

void TMailboxMessagesPanel::ClearPreview() {
    lblFrom->setText("From:");
    lblTo->setText("To:");
    lblSubject->setText("Subject:");
    memoMailboxMessage->clear();
}

void TMailboxMessagesPanel::Preview(const std::string& name) {
    ClearPreview();
    std::optional<std::string> message = ReadFileBytes(directory + "/" + name, UINT32_MAX, CFile::NO_FOLLOW);
    if (!message)
        return;
    size_t body = ForEachHeaderField(*message, [&](const std::string& field, const std::string& value) {
        if (field == "from")
            lblFrom->setText("From: " + DecodeHeaderValue(value));
        else if (field == "to")
            lblTo->setText("To: " + DecodeHeaderValue(value));
        else if (field == "subject")
            lblSubject->setText("Subject: " + DecodeHeaderValue(value));
    });
    std::string text = message->substr(body);
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    memoMailboxMessage->setPlainText(DecodeMessageText(text));
}

QWidget* BuildMailboxMessagesPanel(QWidget* holder) { return new TMailboxMessagesPanel(holder); }

}  // namespace Ovrin
