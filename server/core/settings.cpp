// Parsing and checking the typed settings.
#include "server/core/settings.h"

#include <charconv>
#include <mutex>

#include <boost/regex.hpp>

#include "common/exception.h"
#include "server/core/name_value_map.h"

namespace Ovrin {

CSetting::CSetting(CSettings& owner, const char* name) : owner(owner), name(name) { owner.all.push_back(this); }

std::string CSetting::Refusal(const std::string& text, const std::string& rule) const {
    return "The configuration parameter " + std::string(name) + " is '" + text + "', it must be " + rule;
}

std::shared_mutex& CSetting::Guard() const { return owner.guard; }

void CSetting::ThrowUnset(const std::string& why) const {
    if (!why.empty())
        throw CMessageException("%s", why.c_str());
    owner.config.GetValue(name);  // throws "not found" with its own trace
    throw CMessageException("The configuration parameter %s is set while it is read", name);
}

CNumberSetting::CNumberSetting(CSettings& owner, const char* name, int32_t least, int32_t most,
                               std::optional<int32_t> fallback)
    : CSetting(owner, name), least(least), most(most), fallback(fallback), value(fallback) {}

void CNumberSetting::Parse(const std::string& text) {
    const char* begin = text.data() + (!text.empty() && text[0] == '+' ? 1 : 0);
    const char* end = text.data() + text.size();
    int32_t number = 0;
    const auto [stop, failure] = std::from_chars(begin, end, number);
    value.reset();
    if (text.empty() || failure != std::errc() || stop != end)
        error = Refusal(text, "a whole number");
    else if (number < least)
        error = Refusal(text, "at least " + std::to_string(least));
    else if (number > most)
        error = Refusal(text, "at most " + std::to_string(most));
    else
        value = number, error.clear();
}

void CNumberSetting::Forget() {
    value = fallback;
    error.clear();
}

void CPortSetting::Parse(const std::string& text) {
    static const boost::regex number("[0-9]{1,5}");
    static const boost::regex service("[A-Za-z][A-Za-z0-9-]*");
    const bool valid = boost::regex_match(text, number) ? std::stoi(text) >= 1 && std::stoi(text) <= 65535
                                                          : boost::regex_match(text, service);
    if (valid) {
        value = text;
        error.clear();
    } else {
        value.reset();
        error = Refusal(text, "a port number from 1 to 65535 or a service name");
    }
}

void CPortSetting::Forget() {
    value.reset();
    error.clear();
}

void CSettings::Assign(const std::string& name, const std::string& text) {
    std::unique_lock hold(guard);
    for (CSetting* setting : all)
        if (name == setting->Name())
            setting->Parse(text);
}

void CSettings::Forget(const std::string& name) {
    std::unique_lock hold(guard);
    for (CSetting* setting : all)
        if (name == setting->Name())
            setting->Forget();
}

void CSettings::ForgetAll() {
    std::unique_lock hold(guard);
    for (CSetting* setting : all)
        setting->Forget();
}

void CSettings::Check() const {
    std::shared_lock hold(guard);
    for (const CSetting* setting : all)
        if (!setting->error.empty())
            throw CMessageException("%s", setting->error.c_str());
}

}  // namespace Ovrin
