// TDialogs: the questions, notes and error boxes the manager shows, behind one replaceable
// instance so that tests answer them without a window waiting for a click.
#pragma once

#include <exception>
#include <memory>
#include <string>

class QWidget;

namespace Ovrin {

class TDialogs {
public:
    virtual ~TDialogs() = default;
    // Yes/No; true for Yes.
    virtual bool Question(const std::string& text);
    virtual void Information(const std::string& text);
    virtual void Error(const std::string& text);
    virtual void Warning(const std::string& text);
    enum class TChoice { Save, Discard, Cancel };
    virtual TChoice SaveDiscardCancel(const std::string& text);
    // Markdown text in a window of its own; pictures are found from the base directory.
    virtual void Help(const std::string& title, const std::string& markdown, const std::string& baseDirectory);
    // A line of text asked for under the caption; empty when cancelled.
    virtual std::string InputQuery(const std::string& caption, const std::string& prompt);
    // The chosen path of an existing XML file, or of one to write (asking before overwriting);
    // empty when cancelled.
    virtual std::string OpenFileName(const std::string& title, const std::string& directory);
    virtual std::string SaveFileName(const std::string& title, const std::string& directory);
};

TDialogs& Dialogs();

// Runs one step of the manager's work and shows what went wrong in the standard error box;
// false when it failed.
template <class Body>
bool Guarded(Body&& body) {
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        Dialogs().Error(e.what());
    } catch (...) {
        Dialogs().Error("Unknown exception");
    }
    return false;
}
// Installs another instance (tests); null brings back the message boxes.
void SetDialogs(std::unique_ptr<TDialogs> dialogs);

}  // namespace Ovrin
