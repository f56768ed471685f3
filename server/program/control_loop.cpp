// The twelve control commands, tried in table order against the whole line; the first match
// runs. A command that fails in an unforeseen way is logged and answered "err " with the reason:
// a client that waits for a line must always get one.
#include "server/program/control_loop.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/regex.hpp>

#include "common/exception.h"
#include "common/log.h"
#include "common/text.h"
#include "common/trace.h"
#include "common/validators.h"
#include "server/program/control_channel.h"
#include "server/program/instances.h"
#include "server/program/timer_tasks.h"
#include "server/core/timer_thread.h"
#include "server/rules/python_validation.h"
#include "store/message_name.h"

namespace Ovrin {

namespace {

// How long a lock command waits for the lock and then again for the object's holders.
constexpr int32_t kLockTimeoutMs = 1000;

using CHandler = std::function<std::string(const boost::smatch& groups)>;

struct CCommand {
    boost::regex pattern;
    CHandler handler;
};

std::string LockReply(bool locked, const char* what) {
    return locked ? "ok" : Format("err An attempt to lock %s has timed out, the server is busy", what);
}

std::string GetConfig(const std::string& name) {
    // Tested first so that an unknown name costs one ERROR line (the loop's), not a trace chain.
    if (!Config().HasValue(name))
        throw CMessageException("Value for name '%s' is not found in the map", name.c_str());
    return "ok " + Config().GetValue(name);
}

std::string ValidateRegex(const std::string& expression) {
    try {
        boost::regex compiled("^" + expression + "$");
        return "ok";
    } catch (const std::exception& e) {
        Logger().Warning("Regular expression %s is invalid: %s", expression.c_str(), e.what());
        return std::string("err ") + e.what();
    }
}

// Commands 3 to 12; stop and noop are tested by the loop itself.
std::vector<CCommand> MakeCommands() {
    std::vector<CCommand> commands;
    auto add = [&](const char* pattern, CHandler handler) {
        commands.push_back({boost::regex(pattern), std::move(handler)});
    };
    add("^reload users$", [](const boost::smatch&) {
        UserPool().Clear();
        return std::string("ok");
    });
    add("^lock user ([[:word:]]{1,32})$", [](const boost::smatch& m) {
        return LockReply(UserPool().LockObject(m.str(1), kLockTimeoutMs), "user");
    });
    add("^unlock user ([[:word:]]{1,32})$", [](const boost::smatch& m) {
        UserPool().UnlockObject(m.str(1));
        return std::string("ok");
    });
    add("^lock ruleset ([[:word:]]{1,32})$", [](const boost::smatch& m) {
        return LockReply(RuleSetPool().LockObject(m.str(1), kLockTimeoutMs), "ruleset");
    });
    add("^unlock ruleset ([[:word:]]{1,32})$", [](const boost::smatch& m) {
        RuleSetPool().UnlockObject(m.str(1));
        return std::string("ok");
    });
    // The collection runs at the timer's next check; whether the user exists is its business.
    add("^check user ([[:word:]]{1,32})$", [](const boost::smatch& m) {
        TimerThread().PushCallback(
            std::make_shared<CTimerCallback>(0, TimerCallback_InitiateUserPOP3Session, m.str(1), false));
        return std::string("ok");
    });
    add("^get config ([[:word:]]+(?:-[[:word:]]+)*)$", [](const boost::smatch& m) {
        return GetConfig(m.str(1));
    });
    add("^validate regex ([[:print:]]+)$", [](const boost::smatch& m) {
        return ValidateRegex(m.str(1));
    });
    add("^validate python ([[:print:]]+)$", [](const boost::smatch& m) {
        return ValidatePythonScript(m.str(1));
    });
    add("^train file ([[:word:]]+(?:-[[:word:]]+)*)\\.[Mm][Ss][Gg] ([[:word:]]{1,32})$", [](const boost::smatch& m) {
        TrainingMap().SetValue(ToLower(MessageFileName(m.str(1))), m.str(2));
        return std::string("ok");
    });
    return commands;
}

// Locks are taken for the manager one command at a time; a manager that goes away (or a
// stop) between its lock and its unlock must not leave workers waiting on them forever, which
// would also keep the shutdown from joining those workers.
struct CEditorLocksRelease {
    ~CEditorLocksRelease() {
        Contained([] {
            unsigned released = UserPool().UnlockAllObjects() + RuleSetPool().UnlockAllObjects();
            if (released > 0)
                Logger().Warning("SleepInControlLoop(): released %u lock(s) still held for the manager", released);
        }, "SleepInControlLoop()");
    }
};

// The reply to one command line other than "stop"; a line no command takes gets "err".
std::string Answer(const std::string& line, const boost::regex& noop, const std::vector<CCommand>& commands) {
    if (boost::regex_match(line, noop))
        return "ok";
    boost::smatch groups;
    for (const CCommand& command : commands)
        if (boost::regex_match(line, groups, command.pattern))
            return command.handler(groups);
    return "err";
}

}  // namespace

void SleepInControlLoop(CControlChannel& channel) {
    Traced([&] {
        CEditorLocksRelease releaseOnExit;
        const boost::regex stop("^stop$");
        const boost::regex noop("^noop$");
        const std::vector<CCommand> commands = MakeCommands();
        for (;;) {
            std::optional<std::string> read = channel.ReadLine();
            if (!read) {
                Logger().Info("SleepInControlLoop(): %s, stopping", channel.EndReason().c_str());
                return;
            }
            const std::string line = ValidateRegexedLine(*read);
            if (boost::regex_match(line, stop)) {
                channel.WriteReply("ok");
                return;
            }
            std::string reply;
            try {
                reply = Answer(line, noop, commands);
            } catch (...) {
                LogTraceLine(TraceLevel::Error, "SleepInControlLoop()", CurrentExceptionReason());
                reply = std::string("err ") + CurrentExceptionReason();
            }
            Contained([&] { channel.WriteReply(reply); }, "SleepInControlLoop()");
        }
    }, "SleepInControlLoop()");
}

}  // namespace Ovrin
