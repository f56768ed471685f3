// TEditedFile: a user's XML file that the manager edits in memory, with a copy of the file as it
// was loaded, so that a save can tell what the server has written meanwhile and never throw it
// away.
#pragma once

#include <functional>
#include <string>

#include "manager/document.h"
#include "manager/server_locks.h"

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

    // A save under the server's lock: caught up, checked and written, then the lock given back;
    // true when written. When the server changed the file, the lock is given back first and the
    // user asked whether to load it again, which reload does (it may free this file).
    bool SaveUnder(TServerLock& lock, const std::function<void(const TXmlDocument&)>& check,
                   const std::function<void()>& reload);

private:
    TXmlNode Counterpart(const TXmlNode& element, const TXmlDocument& current) const;

    std::string path;
    std::string counter;
    TXmlDocument document;
    TXmlDocument loaded;
};

}  // namespace Ovrin
