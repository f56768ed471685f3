// Password hashes in crypt(3) form (yescrypt for new ones, SHA512-CRYPT also read), made and
// checked through libxcrypt, and the one rule of what a password may be.
#pragma once

#include <string>

namespace Ovrin {

// Why a password cannot be used (empty text when it can): 1 to 256 bytes, no control characters.
// POP3 carries the rest of the PASS line, spaces included, so nothing else is refused.
std::string PasswordProblem(const std::string& password);

// True for a crypt string of a method that is accepted: "$y$" (yescrypt) or "$6$" (SHA512-CRYPT).
bool IsAcceptedCryptHash(const std::string& hash);

// A new yescrypt hash of the password, salted from the system's secure random source.
std::string CryptHash(const std::string& password);

// Whether the password gives the stored hash; false for a hash that is not accepted.
bool CheckCryptHash(const std::string& password, const std::string& hash);

}  // namespace Ovrin
