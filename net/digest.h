// HTTP Digest authentication without quality-of-protection, in both roles: the client answers
// a 401 challenge by resending the slot's last request with an Authorization header (user
// "iTunes"); the server refuses requests without valid credentials on a slot holding a
// password. State lives in the SocketSet and its slots. The checks run on the receive thread;
// SetDigestPassword runs on whichever thread supplies the password; the set's digestLock keeps
// them, and the sends that replace a slot's last request, apart.
#pragma once

#include <string>

#include "net/http_message.h"
#include "net/socket_set.h"

// 32 lower-case hexadecimal digits of the MD5 of the bytes (empty if the digest fails).
std::string Md5Hex(const void *bytes, size_t length);
// MD5(MD5(user:realm:password):nonce:MD5(method:uri)) in lower-case hex.
std::string DigestResponse(const char *method, const char *uri, const char *realm, const char *user,
                           const char *password, const char *nonce);
// Reads the named parameter from the text after "Digest " (comma-separated name=value items,
// values trimmed of spaces and double quotes), cut to maxLength characters. Returns 1 when
// the parameter is present.
int DigestParameter(const char *parameters, const char *name, char *value, size_t maxLength);

// Client side: true when the response is 401 with a WWW-Authenticate header; records the
// challenge's realm and nonce in the slot and wipes a password that was just refused.
bool IsDigestChallenge(SocketSlot *slot, const HttpMessage *response);
// Server side: true when the request may pass (exempt URI, no password, already
// authenticated, or valid credentials).
bool CheckDigestCredentials(SocketSlot *slot, const HttpMessage *request);
// Stores the password in the set (null only clears it) and resends every challenged
// request with credentials.
void SetDigestPassword(SocketSet *set, const char *password);
// A fresh challenge value: Digest realm="AirPlay", nonce="<md5 hex of a number 0..32767>".
std::string DigestChallenge();
