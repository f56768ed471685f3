// The server's locks that the manager holds around its edits of a user's files ("lock user",
// "lock ruleset"), each for the life of a holder. Release reports a failed unlock; a holder
// still held when it goes (an error path) unlocks quietly, so the first error is the one shown.
#pragma once

#include <optional>
#include <string>

namespace Ovrin {

class TServerLock {
public:
    // kind is "user" or "ruleset"; a refused lock throws the server's message.
    TServerLock(const char* kind, std::string user);
    ~TServerLock();
    TServerLock(const TServerLock&) = delete;
    TServerLock& operator=(const TServerLock&) = delete;

    // Throws "Failed to unlock user \"%s\"" (or ruleset) when the server refuses.
    void Release();
    // The same without the throw: false when the server refused.
    bool TryRelease();
    // The error of a refused unlock.
    [[noreturn]] void UnlockFailed() const;

private:
    const char* kind;
    std::string user;
    bool held = true;
};

struct TUserLock : TServerLock {
    explicit TUserLock(std::string user) : TServerLock("user", std::move(user)) {}
};

struct TRulesetLock : TServerLock {
    explicit TRulesetLock(std::string user) : TServerLock("ruleset", std::move(user)) {}
};

// The user and then the ruleset, as a mailbox's removal takes them. A refused ruleset lock
// gives the user back first; releasing gives back the ruleset, then the user, and always tries
// both.
class TUserAndRulesetLock {
public:
    explicit TUserAndRulesetLock(const std::string& user);

    // A failed user unlock is the error reported, else a failed ruleset unlock.
    void Release();

private:
    TUserLock userLock;
    std::optional<TRulesetLock> rulesetLock;  // declared last, so an error path frees it first
};

}  // namespace Ovrin
