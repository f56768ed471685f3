// The user pool's instance.
#include "server/pop3/user_pool.h"

#include "server/core/config.h"

namespace Ovrin {

// A user reads the configuration when it is loaded, so the configuration is made first and
// therefore outlives the pool.
CUserPool& UserPool() {
    Config();
    static CUserPool instance;
    return instance;
}

}  // namespace Ovrin
