// TDialogs: the message boxes and input queries, and the replaceable instance.
#include "manager/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QFileDialog>
#include <QInputDialog>
#include <QMainWindow>
#include <QMessageBox>

namespace Ovrin {

namespace {

std::unique_ptr<TDialogs>& Instance() {
    static std::unique_ptr<TDialogs> instance = std::make_unique<TDialogs>();
    return instance;
}

QString Text(const std::string& text) { return QString::fromUtf8(text.data(), text.size()); }
// Boxes are centred on the window they belong to, also when no window is active.
QWidget* Owner() {
    if (QWidget* active = QApplication::activeWindow())
        return active;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible() && qobject_cast<QMainWindow*>(window))
            return window;
    return nullptr;
}
const QString kTitle = QStringLiteral("Ovrin Mail Filter manager");

}  // namespace

bool TDialogs::Question(const std::string& text) {
    return QMessageBox::question(Owner(), kTitle, Text(text), QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

TDialogs::TChoice TDialogs::SaveDiscardCancel(const std::string& text) {
    switch (QMessageBox::question(Owner(), kTitle, Text(text), QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel,
                                  QMessageBox::Save)) {
    case QMessageBox::Save:
        return TChoice::Save;
    case QMessageBox::Discard:
        return TChoice::Discard;
    default:
        return TChoice::Cancel;
    }
}

void TDialogs::Information(const std::string& text) { QMessageBox::information(Owner(), kTitle, Text(text)); }
void TDialogs::Error(const std::string& text) { QMessageBox::critical(Owner(), kTitle, Text(text)); }
void TDialogs::Warning(const std::string& text) { QMessageBox::warning(Owner(), kTitle, Text(text)); }

void TDialogs::Help(const std::string& title, const std::string& markdown, const std::string& baseDirectory) {
    QDialog dialog(Owner());
    dialog.setWindowTitle(kTitle + " - " + Text(title));
    auto* text = new QTextBrowser(&dialog);
    text->setSearchPaths({Text(baseDirectory)});
    text->setOpenExternalLinks(true);
    text->setMarkdown(Text(markdown));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(text);
    layout->addWidget(buttons);
    dialog.resize(760, 560);
    dialog.exec();
}

std::string TDialogs::InputQuery(const std::string& caption, const std::string& prompt) {
    bool accepted = false;
    QString text = QInputDialog::getText(Owner(), Text(caption), Text(prompt), QLineEdit::Normal, QString(), &accepted);
    return accepted ? text.toUtf8().toStdString() : "";
}

std::string TDialogs::OpenFileName(const std::string& title, const std::string& directory) {
    QFileDialog dialog(Owner(), Text(title), Text(directory), "XML Files (*.xml)");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix("xml");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return "";
    return dialog.selectedFiles().front().toUtf8().toStdString();
}

std::string TDialogs::SaveFileName(const std::string& title, const std::string& directory) {
    QFileDialog dialog(Owner(), Text(title), Text(directory), "XML Files (*.xml)");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("xml");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return "";
    return dialog.selectedFiles().front().toUtf8().toStdString();
}

TDialogs& Dialogs() { return *Instance(); }

void SetDialogs(std::unique_ptr<TDialogs> dialogs) {
    Instance() = dialogs ? std::move(dialogs) : std::make_unique<TDialogs>();
}

}  // namespace Ovrin
