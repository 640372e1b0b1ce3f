#pragma once

#include <string>

namespace tarvo::service::crypto {

// `bytes` random bytes from OpenSSL's generator, as lower-case hexadecimal.
std::string randomHex(size_t bytes);
std::string sha256Hex(const std::string& data);
// PBKDF2-HMAC-SHA256 of `password` with `saltHex`, 32 bytes as hexadecimal.
std::string pbkdf2Hex(const std::string& password, const std::string& saltHex, int iterations);
// Compares in time independent of where the texts differ.
bool equalConstantTime(const std::string& a, const std::string& b);

constexpr int kPasswordIterations = 210000;

}  // namespace tarvo::service::crypto
