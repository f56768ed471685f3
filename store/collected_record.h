// CCollectedRecord: per remote account, the unique ids (UIDL) of the messages already stored,
// each with the time it was first collected, so that a message is never downloaded twice.
// One hidden file in the user's directory, appended to and read back whole.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "common/file.h"
#include "store/mail_store.h"

namespace Ovrin {

class CCollectedRecord {
public:
    // The record's file of an account, in the user's directory: a hidden name made from the
    // host, port and user name, so that any name is safe as a file name.
    static std::string FileName(const std::string& hostname, const std::string& port, const std::string& username);
    static std::string PathOf(const CMailStore& store, std::string_view user, const std::string& hostname,
                              const std::string& port, const std::string& username);
    // A record goes with its account: deletes the user's records whose file names are not among
    // those kept (the FileName of each account the user still has). False, with a WARNING line
    // each, when one cannot be deleted.
    static bool RemoveOthers(const CMailStore& store, std::string_view user, const std::set<std::string>& kept);

    // Opens (or creates) the record at that path and holds it for the session: a second
    // holder is refused. Entries written after the last confirmation are trusted only when
    // the machine has not restarted since (see Confirm).
    explicit CCollectedRecord(const std::string& path);

    bool Contains(const std::string& uid) const;
    // When the message was first collected; 0 when it is not recorded.
    std::time_t CollectedAt(const std::string& uid) const;
    size_t Size() const { return entries.size(); }
    // Entries of this boot wait for a confirmation, perhaps from a session that was cut short.
    bool HasUnconfirmed() const { return !unconfirmed.empty(); }

    // Records a stored message at once (one appended line); a failure throws and leaves the
    // record as it was.
    void Add(const std::string& uid, std::time_t collected);
    // Called once the stored messages are durable: what was added so far survives a power
    // failure from now on (appended mark, then fsync).
    void Confirm();
    // Forgets every id the server no longer lists; the file is written anew (temporary file,
    // then rename) when anything went or when it holds twice as many lines as entries.
    void Prune(const std::set<std::string>& listed);

    // A unique id as the server may send it: 1 to 70 printable characters without blanks.
    static bool IsUid(const std::string& uid);

private:
    void Rewrite();

    std::string path;
    std::shared_ptr<CFile> file;
    std::string bootId;
    std::map<std::string, std::time_t> entries;
    // Added in this boot and not yet confirmed.
    std::set<std::string> unconfirmed;
    size_t lines = 0;
    // The file ends inside a line: the next append ends that line first, as no entry.
    bool torn = false;
};

}  // namespace Ovrin
