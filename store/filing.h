// Filing: a message file leaves .raw for its mailbox, falling back to spam, and at start the
// messages an earlier run left in .raw go back to the spool.
#pragma once

#include <string>
#include <string_view>

#include "store/mail_store.h"

namespace Ovrin {

// Moves the file at `path` into the user's mailbox `target` under `name`, or deletes it for
// "<delete>". A target that is no mailbox, or a move that fails, sends the file to spam with an
// ERROR line; when spam fails too, an ERROR line says so and the file stays where it is. `who`
// begins every line.
void FileMessage(const CMailStore& store, std::string_view user, const std::string& path, const std::string& target,
                 const std::string& name, const std::string& who);

// Moves every "*.msg" file of each user's .raw into the user's .spool under the same name; a
// file that cannot go there goes to spam. Partial downloads ("*.part") are deleted. Runs before
// any other thread starts; a failure other than one file's throws.
void SpoolRawMessages(const CMailStore& store);

}  // namespace Ovrin
