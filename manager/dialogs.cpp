#include "manager/dialogs.h"

#include <QApplication>
#include <QMessageBox>

namespace Ovrin {

namespace {

std::unique_ptr<TDialogs>& Instance() {
    static std::unique_ptr<TDialogs> instance = std::make_unique<TDialogs>();
    return instance;
}

QString Text(const std::string& text) { return QString::fromUtf8(text.data(), text.size()); }
QWidget* Owner() { return QApplication::activeWindow(); }
const QString kTitle = QStringLiteral("Ovrin Mail Filter manager");

}  // namespace

bool TDialogs::Question(const std::string& text) {
    return QMessageBox::question(Owner(), kTitle, Text(text), QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

void TDialogs::Information(const std::string& text) { QMessageBox::information(Owner(), kTitle, Text(text)); }
void TDialogs::Error(const std::string& text) { QMessageBox::critical(Owner(), kTitle, Text(text)); }
void TDialogs::Warning(const std::string& text) { QMessageBox::warning(Owner(), kTitle, Text(text)); }

TDialogs& Dialogs() { return *Instance(); }

void SetDialogs(std::unique_ptr<TDialogs> dialogs) {
    Instance() = dialogs ? std::move(dialogs) : std::make_unique<TDialogs>();
}

}  // namespace Ovrin
