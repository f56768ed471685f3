// The server's user and ruleset locks, asked for and given back over the control port.
#include "manager/server_locks.h"

#include "common/exception.h"
#include "manager/command_client.h"

namespace Ovrin {

namespace {

void Lock(const char* kind, const std::string& user) {
    std::string message;
    if (!SendCommand(std::string("lock ") + kind + " " + user, &message))
        throw CMessageException("%s", message.c_str());
}

bool Unlock(const char* kind, const std::string& user) { return SendCommand(std::string("unlock ") + kind + " " + user); }

}  // namespace

TServerLock::TServerLock(const char* kind, std::string user) : kind(kind), user(std::move(user)) { Lock(kind, this->user); }

TServerLock::~TServerLock() {
    if (held)
        Unlock(kind, user);
}

bool TServerLock::TryRelease() {
    held = false;
    return Unlock(kind, user);
}

void TServerLock::Release() {
    if (!TryRelease())
        UnlockFailed();
}

void TServerLock::UnlockFailed() const { throw CMessageException("Failed to unlock %s \"%s\"", kind, user.c_str()); }

TUserAndRulesetLock::TUserAndRulesetLock(const std::string& user) : userLock(user) {
    try {
        rulesetLock.emplace(user);
    } catch (...) {
        userLock.Release();  // its failure replaces the server's message
        throw;
    }
}

void TUserAndRulesetLock::Release() {
    bool rulesetReleased = rulesetLock->TryRelease();
    userLock.Release();
    if (!rulesetReleased)
        rulesetLock->UnlockFailed();
}

}  // namespace Ovrin
