// The process-wide pool of users' configurations (user.xml), by user name.
#pragma once

#include "server/core/lockable_pool.h"
#include "server/pop3/user_xml.h"

namespace Ovrin {

using CUserPool = CLockablePool<CUserXML>;

CUserPool& UserPool();

}  // namespace Ovrin
