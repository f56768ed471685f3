// TOptionsTreeControl: reading and saving the options of config.xml.
#include "manager/options_tree_control.h"

#include <QApplication>
#include <QLabel>
#include <QStyle>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/exception.h"
#include "manager/command_client.h"
#include "manager/dialogs.h"
#include "manager/document.h"
#include "manager/panel_widgets.h"
#include "manager/service_control.h"

namespace Ovrin {

namespace {

QWidget* BuildOptionsPanel(QWidget* holder) {
    QWidget* panel = NewPanel(holder, "Global server options (see config.xml):");
    Layout(panel)->addWidget(new QLabel("System parameters (also passed in as x-ovrin-Name variables):", panel));
    Layout(panel)->addWidget(NewValueListEditor(panel, "kveGlobalOptions"), 1);
    return panel;
}

QTableWidget* Editor(QWidget* panel) { return panel->findChild<QTableWidget*>("kveGlobalOptions"); }
std::string S(const QString& text) { return text.toUtf8().toStdString(); }
QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

TOptionsTreeControl::TOptionsTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent)
    : TTreeControl(tree, node, "Options", parent) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_FileDialogDetailedView));
}

TOptionsTreeControl::~TOptionsTreeControl() = default;

TTreeControl* TOptionsTreeControl::Recreate() { return new TOptionsTreeControl(TreeView(), Node(), Node()->parent()); }

QWidget* TOptionsTreeControl::Panel() { return FormPanel("pnlOptions", BuildOptionsPanel); }

std::string TOptionsTreeControl::ConfigPath() const { return ManagerDirectory() + "/config.xml"; }

bool TOptionsTreeControl::BeginLoad() {
    if (!document)
        document = std::make_unique<TXmlDocument>();
    if (!document->Load(ConfigPath())) {
        document.reset();
        throw CMessageException("Unable to read configuration file from %s", ConfigPath().c_str());
    }
    return true;
}

std::string TOptionsTreeControl::GetValue(const std::string& key) {
    if (!key.empty())
        return "";
    QTableWidget* editor = Editor(Panel());
    editor->setRowCount(0);
    for (const TXmlNode& param : document->SelectNodes("/config/params/param")) {
        TXmlNode name = param.SelectSingleNode("@name");
        std::string text = name ? name.Text() : "";
        std::string value;
        // The value in effect is the server's, which may differ from the file.
        if (!SendCommand("get config " + text, &value))
            throw CMessageException("Failed to fetch configuration parameter \"%s\"", text.c_str());
        int row = editor->rowCount();
        editor->insertRow(row);
        auto* nameItem = new QTableWidgetItem(Q(text));
        nameItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        editor->setItem(row, 0, nameItem);
        editor->setItem(row, 1, new QTableWidgetItem(Q(value)));
    }
    return "";
}

bool TOptionsTreeControl::CanSave() { return true; }

bool TOptionsTreeControl::BeginSave() {
    if (!Dialogs().Question("Changing the global options requires the service to be restarted, proceed ?"))
        return false;
    ServiceControl().StopService();
    return true;
}

void TOptionsTreeControl::SetValue(const std::string& key, const std::string&) {
    if (!key.empty())
        return;
    if (!document)
        throw CMessageException("Unable to read configuration file from %s", ConfigPath().c_str());
    QTableWidget* editor = Editor(Panel());
    std::vector<TXmlNode> params = document->SelectNodes("/config/params/param");
    for (int row = 0; row < editor->rowCount(); ++row) {
        std::string name = S(editor->item(row, 0)->text());
        std::string value = editor->item(row, 1) ? S(editor->item(row, 1)->text()) : "";
        // Matched by comparison rather than inside the expression, so no name can break it.
        TXmlNode attribute;
        for (const TXmlNode& param : params) {
            TXmlNode nameAttribute = param.SelectSingleNode("@name");
            if (nameAttribute && nameAttribute.Text() == name) {
                attribute = param.SelectSingleNode("@value");
                break;
            }
        }
        if (!attribute)
            throw CMessageException("Configuration parameter \"%s\" has no value in %s", name.c_str(), ConfigPath().c_str());
        attribute.SetText(value);
    }
}

bool TOptionsTreeControl::Commit() {
    document->Save(ConfigPath());
    ServiceControl().StartService();  // the tree may be rebuilt meanwhile: nothing of this after it
    return true;
}

}  // namespace Ovrin
