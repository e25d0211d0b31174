// Failures of the cryptographic primitives; what() is a sentence the user can read.
#pragma once
#include <string>

#include "platform/Error.h"

namespace velmo {

class CryptoError : public Error {
public:
    using Error::Error;
};

// A key that does not describe a valid key (a point off the curve, a scalar out of range,
// a wrong length).
class InvalidKeyError : public CryptoError {
public:
    using CryptoError::CryptoError;
};

// A cipher operation that failed; status is the cryptographic library's own reason code.
class CipherError : public CryptoError {
public:
    CipherError(std::string sentence, int status) : CryptoError(std::move(sentence)), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// Authenticated decryption whose tag does not verify.
class AuthenticationError : public CryptoError {
public:
    AuthenticationError() : CryptoError("The encrypted data failed its integrity check.") {}
};

}  // namespace velmo
