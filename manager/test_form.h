// TTestForm: the window in which a raw message is entered and handed to a user's spool, where
// the server filters it like any other message.
#pragma once

#include <string>

#include <QWidget>

class QCheckBox;
class QPlainTextEdit;
class QPushButton;

namespace Ovrin {

class TTestForm : public QWidget {
    Q_OBJECT

public:
    explicit TTestForm(QWidget* parent = nullptr);

    // Shows the window for the user whose directory is given.
    void ShowFor(const std::string& userDirectory);
    // Writes the message into the spool: through a temporary file named by its SHA-1, moved to
    // .spool/(digest).msg. Returns the spooled file's path.
    std::string Spool();

    QPlainTextEdit* memoMessage;
    QCheckBox* cbReplaceCRLFs;
    QPushButton* btnTest;
    QPushButton* btnCancel;

private:
    std::string userDirectory;
};

// The one test window of the process, made on first use.
TTestForm& TestForm();

}  // namespace Ovrin
