// HTTP Digest (RFC 2069 form, no quality-of-protection) for the receiver's
// password check. MD5 comes from libcrypto's EVP interface.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

constexpr const char *kDigestRealm = "AirPlay";

// 32 lower-case hexadecimal digits.
std::string Md5Hex(const void *bytes, size_t length);
// MD5(MD5(user:realm:password):nonce:MD5(method:uri)).
std::string DigestResponse(const std::string &method, const std::string &uri,
                           const std::string &realm, const std::string &user,
                           const std::string &password, const std::string &nonce);
// Reads the name=value list after "Digest ". Values may be quoted; quoted
// values may hold commas and backslash escapes. Names are kept as sent.
// Returns false on a malformed list.
bool DigestParseParams(const std::string &list, std::map<std::string, std::string> *out);

enum DigestVerdict {
    kDigestAccepted,
    kDigestMissing,       // no Authorization header
    kDigestMalformed,     // not Digest, or a parameter missing
    kDigestWrongRealm,    // realm differs from kDigestRealm
    kDigestUnknownNonce,  // a nonce this receiver never issued
    kDigestUriMismatch,   // uri parameter differs from the request URI
    kDigestWrongResponse, // wrong password (or wrong computation)
};
const char *DigestVerdictName(DigestVerdict verdict);

// Checks an Authorization value (null when absent) against the password.
// issuedNonces lists the nonces this receiver sent in challenges.
DigestVerdict DigestCheck(const std::string *authorization, const std::string &method,
                          const std::string &requestUri, const std::string &password,
                          const std::vector<std::string> &issuedNonces, std::string *user);

// A fresh nonce: 32 hexadecimal digits from the system's random source.
std::string DigestNewNonce();
