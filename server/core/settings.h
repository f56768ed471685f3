// CSettings: the parameters of config.xml that the server reads as numbers or ports, each parsed
// once when the configuration sets it and checked at start-up, so that "11x00" never becomes a
// number. The text as written stays in the configuration, for "get config".
#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

namespace Ovrin {

class CNameValueMap;
class CSettings;

// One parameter: its name, and its value or why its text is none.
class CSetting {
public:
    CSetting(const CSetting&) = delete;
    CSetting& operator=(const CSetting&) = delete;
    const char* Name() const { return name; }

protected:
    CSetting(CSettings& owner, const char* name);
    virtual ~CSetting() = default;
    // Stores the value of the text, or the error that names the parameter and the text.
    virtual void Parse(const std::string& text) = 0;
    // Back to unset: the default where there is one.
    virtual void Forget() = 0;
    // The value, or else why there is none: the bad text's error, or the configuration's own
    // "not found".
    template <class T>
    T Read(const std::optional<T>& value) const {
        std::string why;
        {
            std::shared_lock hold(Guard());
            if (value)
                return *value;
            why = error;
        }
        ThrowUnset(why);
    }
    [[noreturn]] void ThrowUnset(const std::string& why) const;
    // "The configuration parameter (name) is '(text)', it must be (rule)".
    std::string Refusal(const std::string& text, const std::string& rule) const;
    std::shared_mutex& Guard() const;

    std::string error;

private:
    friend class CSettings;
    CSettings& owner;
    const char* name;
};

// A whole number within bounds.
class CNumberSetting : public CSetting {
public:
    CNumberSetting(CSettings& owner, const char* name, int32_t least, int32_t most,
                   std::optional<int32_t> fallback = std::nullopt);
    int32_t Get() const { return Read(value); }

private:
    void Parse(const std::string& text) override;
    void Forget() override;
    const int32_t least, most;
    const std::optional<int32_t> fallback;
    std::optional<int32_t> value;
};

// A TCP port: a number from 1 to 65535 or a service name, resolved where it is used.
class CPortSetting : public CSetting {
public:
    CPortSetting(CSettings& owner, const char* name) : CSetting(owner, name) {}
    std::string Get() const { return Read(value); }

private:
    void Parse(const std::string& text) override;
    void Forget() override;
    std::optional<std::string> value;
};

class CSettings {
    // Declared before the settings, which enter themselves here when they are made.
    CNameValueMap& config;
    std::vector<CSetting*> all;
    mutable std::shared_mutex guard;
    friend class CSetting;

public:
    explicit CSettings(CNameValueMap& config) : config(config) {}
    CSettings(const CSettings&) = delete;
    CSettings& operator=(const CSettings&) = delete;

    // One line per parameter; a missing one without a default fails where it is read.
    CNumberSetting workerThreadsPerPool{*this, "worker-threads-per-pool", 0, 1024};  // the pool refuses 0 itself
    CNumberSetting mailIntervalSec{*this, "mail-interval-sec", 0, 31536000};
    CNumberSetting spoolIntervalSec{*this, "spool-interval-sec", 0, 31536000};
    CNumberSetting flushIntervalSec{*this, "flush-interval-sec", 0, 31536000};
    CNumberSetting incomingConnectionTimeoutSec{*this, "incoming-connection-timeout-sec", 0, 86400};
    CNumberSetting outgoingConnectionTimeoutSec{*this, "outgoing-connection-timeout-sec", 0, 86400};
    CNumberSetting pop3ConnectionAttemptTimeoutSec{*this, "pop3-connection-attempt-timeout-sec", 0, 86400};
    CNumberSetting pop3MessagesPerSession{*this, "pop3-messages-per-session", 0, 1000000};  // 0: no limit
    CNumberSetting pop3MessagesPerSync{*this, "pop3-messages-per-sync", 1, 1000000};
    CNumberSetting parallelWorkerThreadWorkMs{*this, "parallel-worker-thread-work-ms", 0, 3600000};
    CNumberSetting parallelWorkerThreadSleepMs{*this, "parallel-worker-thread-sleep-ms", 0, 3600000};
    // A failed POP3 login's answer waits this long; up to 10 minutes, the most a client bears.
    CNumberSetting pop3AuthFailureDelayMs{*this, "pop3-auth-failure-delay-ms", 0, 600000, 2000};
    CPortSetting pop3Port{*this, "pop3-port"};
    CPortSetting pop3sPort{*this, "pop3s-port"};

    // Called by the configuration whenever a parameter is set or removed.
    void Assign(const std::string& name, const std::string& text);
    void Forget(const std::string& name);
    void ForgetAll();
    // Throws the error of the first parameter whose text is no value of it.
    void Check() const;
};

}  // namespace Ovrin
