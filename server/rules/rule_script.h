// Runs the Python script of a match or an action against one message: the header becomes the
// script's `headers`, with the message file's path when the whole message is known.
#pragma once

#include <memory>
#include <string>

#include "common/file.h"
#include "server/message/message_header.h"

namespace Ovrin {

using CFilePtr = std::shared_ptr<CFile>;

// The text of the script's `result` ("None" when unassigned); script errors throw.
std::string RunRuleScript(const std::string& script, const CMessageHeader& header, const CFilePtr& file);

}  // namespace Ovrin
