// TRulesetElementTreeControl: editing one element of the ruleset document in memory.
#include "manager/ruleset_element_tree_control.h"

#include <QTreeWidget>

#include "common/exception.h"
#include "manager/dialogs.h"
#include "manager/globals.h"

namespace Ovrin {

QString QText(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

bool Warn(const std::string& text) {
    Dialogs().Warning(text);
    return false;
}

QTreeWidgetItem* NewNodeAt(QTreeWidgetItem* parent, int index) {
    auto* item = new QTreeWidgetItem();
    if (index < 0 || index > parent->childCount())
        index = parent->childCount();
    parent->insertChild(index, item);
    return item;
}

TRulesetElementTreeControl::TRulesetElementTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, const QString& caption,
                                                       QTreeWidgetItem* parent, TXmlNode element, std::string user)
    : TTreeControl(tree, node, caption, parent), element(std::move(element)), user(std::move(user)) {}

TStringArray TRulesetElementTreeControl::PopupItems() { return {"Delete"}; }

void TRulesetElementTreeControl::PopupCommand(const std::string& caption) {
    if (caption == "Delete") {
        if (TXmlNode parent = element.ParentNode())
            parent.RemoveChild(element);
    }
    TTreeControl::PopupCommand(caption);  // frees this controller on "Delete"
}

std::string TRulesetElementTreeControl::GetValue(const std::string& key) {
    if (key.empty())
        return "";
    TXmlNode node = element.SelectSingleNode(key);
    return node ? node.Text() : "";
}

void TRulesetElementTreeControl::SetValue(const std::string& key, const std::string& value) {
    if (key.empty())
        return;
    // Text in the files has LF line ends; the memos hand over CR LF.
    std::string text = value;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    TXmlNode node = element.SelectSingleNode(key);
    if (!node) {
        bool simpleName = key.find_first_of("/[]()*:") == std::string::npos;
        if (!simpleName)
            throw CMessageException("The element %s has no %s", element.Name().c_str(), key.c_str());
        if (key[0] == '@') {
            node = element.OwnerDocument().CreateAttribute(key.substr(1));
            element.SetNamedItem(node);
        } else {
            node = element.AppendChild(element.OwnerDocument().CreateElement(key));
        }
    }
    node.SetText(text);
}

std::string TRulesetElementTreeControl::UserDirectory() const { return MailStore().UserDirectory(user); }

TStringArray TRulesetElementTreeControl::Mailboxes() const { return ListVisibleDirectories(UserDirectory()); }

QTreeWidgetItem* TRulesetElementTreeControl::ChildNodeAt(int index) { return NewNodeAt(Node(), index); }

}  // namespace Ovrin
