// TEditedFile: a user's XML file that the manager edits in memory, with a copy of the file as it
// was loaded, so that a save can tell what the server has written meanwhile and never throw it
// away.
#pragma once

#include <string>

#include "manager/document.h"

namespace Ovrin {

class TEditedFile {
public:
    // counter: the attribute that only the server writes (it counts), or empty.
    explicit TEditedFile(std::string path, std::string counter = "");

    // Both copies; false for a missing or malformed file. Called under the server's lock.
    bool Load();
    TXmlDocument& Document() { return document; }
    const std::string& Path() const { return path; }

    // Under the server's lock. True when the file holds what was loaded, counters apart; the
    // file's counters are then taken into the document wherever the element they count is
    // found in it without doubt. False when the server changed anything else, or a changed
    // counter's element cannot be told: nothing is written then.
    bool CatchUp();
    // Writes the document, which becomes what was loaded.
    void Save();

    // Asked once the lock is given back: load the file again, dropping the unsaved edits?
    bool AskToReload() const;

private:
    TXmlNode Counterpart(const TXmlNode& element, const TXmlDocument& current) const;

    std::string path;
    std::string counter;
    TXmlDocument document;
    TXmlDocument loaded;
};

}  // namespace Ovrin
