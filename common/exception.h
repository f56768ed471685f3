// CMessageException: the one exception the system throws, carrying a printf-formatted message.
#pragma once

#include <exception>
#include <string>

namespace Ovrin {

class CMessageException : public std::exception {
public:
    CMessageException(const char* format, ...) __attribute__((format(printf, 2, 3)));
    CMessageException(const CMessageException& other) = default;
    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

}  // namespace Ovrin
