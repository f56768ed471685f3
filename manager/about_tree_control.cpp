// TAboutTreeControl: the "About" node and its panel.
#include "manager/about_tree_control.h"

#include <QApplication>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/exception.h"
#include "manager/command_client.h"
#include "manager/field_binding.h"

namespace Ovrin {

namespace {

QWidget* BuildAboutPanel(QWidget* holder) {
    auto* panel = new QWidget(holder);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel("Ovrin Mail Filter manager, version 1.4", panel);
    QFont big = title->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.25);
    title->setFont(big);
    layout->addWidget(title);

    auto* form = new QFormLayout;
    auto* version = new QLineEdit(panel);
    version->setObjectName("edtVersion");
    version->setReadOnly(true);
    Bind(version, "version");
    form->addRow("Server:", version);
    layout->addLayout(form);

    auto* credits = new QLabel(panel);
    credits->setObjectName("lblCredits");
    credits->setWordWrap(true);
    credits->setText(
        "The server uses libxml2 for its XML files, XPath and XML Schema validation, Boost.Regex for "
        "regular expressions, OpenSSL for SHA-1 hashes and an embedded Python interpreter for match and "
        "action scripts. The manager is built with Qt.\n\n"
        "Web: https://ovrin.example.org/    Mail: support@ovrin.example.org");
    layout->addSpacing(12);
    layout->addWidget(credits);
    layout->addStretch(1);
    return panel;
}

std::string ServerValue(const char* name) {
    std::string value;
    if (!SendCommand(std::string("get config ") + name, &value))
        throw CMessageException("Failed to fetch configuration parameter \"%s\"", name);
    return value;
}

}  // namespace

TAboutTreeControl::TAboutTreeControl(QTreeWidget* tree, QTreeWidgetItem* node, QTreeWidgetItem* parent)
    : TTreeControl(tree, node, "About", parent) {
    SetIcon(QApplication::style()->standardIcon(QStyle::SP_MessageBoxInformation));
}

TTreeControl* TAboutTreeControl::Recreate() { return new TAboutTreeControl(TreeView(), Node(), Node()->parent()); }

QWidget* TAboutTreeControl::Panel() { return FormPanel("pnlAbout", BuildAboutPanel); }

bool TAboutTreeControl::BeginLoad() { return true; }

std::string TAboutTreeControl::GetValue(const std::string& key) {
    if (key != "version")
        return "";
    std::string product = ServerValue("product-name");
    std::string version = ServerValue("version");
    return product + " " + version;
}

}  // namespace Ovrin
