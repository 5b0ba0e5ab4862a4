#include "net/digest.h"

#include <cstdio>
#include <cstring>
#include <openssl/evp.h>
#include <random>

#include "net/http.h"

std::string Md5Hex(const void *bytes, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (!context) return std::string();
    bool ok = EVP_DigestInit_ex(context, EVP_md5(), nullptr) == 1 &&
              EVP_DigestUpdate(context, bytes, length) == 1 &&
              EVP_DigestFinal_ex(context, digest, &digestLength) == 1;
    EVP_MD_CTX_free(context);
    if (!ok) return std::string();
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < digestLength; i++) {
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

static std::string Md5Joined(const char *a, const char *b, const char *c) {
    std::string text = std::string(a) + ":" + b;
    if (c) text += std::string(":") + c;
    return Md5Hex(text.data(), text.size());
}

std::string DigestResponse(const char *method, const char *uri, const char *realm, const char *user,
                           const char *password, const char *nonce) {
    std::string ha1 = Md5Joined(user, realm, password);
    std::string ha2 = Md5Joined(method, uri, nullptr);
    return Md5Joined(ha1.c_str(), nonce, ha2.c_str());
}

static bool IsTrimmed(char c, bool quotes) {
    return c == ' ' || (quotes && c == '"');
}

int DigestParameter(const char *parameters, const char *name, char *value, size_t maxLength) {
    const char *item = parameters;
    size_t nameLength = strlen(name);
    while (*item) {
        const char *end = strchr(item, ',');
        if (!end) end = item + strlen(item);
        const char *equals = (const char *)memchr(item, '=', end - item);
        if (equals) {
            const char *nameBegin = item, *nameEnd = equals;
            while (nameBegin < nameEnd && IsTrimmed(*nameBegin, false))
                nameBegin++;
            while (nameEnd > nameBegin && IsTrimmed(nameEnd[-1], false))
                nameEnd--;
            if ((size_t)(nameEnd - nameBegin) == nameLength &&
                memcmp(nameBegin, name, nameLength) == 0) {
                const char *valueBegin = equals + 1, *valueEnd = end;
                while (valueBegin < valueEnd && IsTrimmed(*valueBegin, true))
                    valueBegin++;
                while (valueEnd > valueBegin && IsTrimmed(valueEnd[-1], true))
                    valueEnd--;
                size_t n = (size_t)(valueEnd - valueBegin);
                if (n > maxLength) n = maxLength;
                memcpy(value, valueBegin, n);
                value[n] = 0;
                return 1;
            }
        }
        if (!*end) break;
        item = end + 1;
    }
    value[0] = 0;
    return 0;
}

bool IsDigestChallenge(SocketSlot *slot, const HttpMessage *response) {
    const char *challenge = HeaderListFind(&response->headers, "www-authenticate");
    if (response->statusCode != 401 || !challenge) return false;
    slot->authRequested = 1;
    // A challenge right after a resend means the password was refused.
    if (slot->retriedWithPassword) memset(slot->password, 0, sizeof slot->password);
    memset(slot->realm, 0, sizeof slot->realm);
    memset(slot->nonce, 0, sizeof slot->nonce);
    if (strlen(challenge) >= 7 && strncmp(challenge, "Digest ", 7) == 0) {
        DigestParameter(challenge + 7, "realm", slot->realm, sizeof slot->realm - 1);
        DigestParameter(challenge + 7, "nonce", slot->nonce, sizeof slot->nonce - 1);
    }
    return true;
}

bool CheckDigestCredentials(SocketSlot *slot, const HttpMessage *request) {
    const char *uri = request->second ? request->second : "";
    if (strstr(uri, "server-info") || strstr(uri, "reverse") || strstr(uri, "authenticate") ||
        strstr(uri, "fp-setup"))
        return true;
    if (!slot->password[0] || slot->peerAuthenticated) return true;
    const char *authorization = HeaderListFind(&request->headers, "authorization");
    if (!authorization || strlen(authorization) <= 6 || strncmp(authorization, "Digest ", 7) != 0)
        return false;
    const char *parameters = authorization + 7;
    char username[64], realm[64], nonce[64], uriParameter[1024], response[1024];
    DigestParameter(parameters, "username", username, 63);
    DigestParameter(parameters, "realm", realm, 63);
    DigestParameter(parameters, "nonce", nonce, 63);
    DigestParameter(parameters, "uri", uriParameter, 1023);
    DigestParameter(parameters, "response", response, 1023);
    if (!username[0] || !realm[0] || !nonce[0] || !uriParameter[0] || !response[0]) return false;
    char password[64];
    memcpy(password, slot->password, sizeof password);
    password[63] = 0;
    std::string expected =
        DigestResponse(request->first, uriParameter, realm, username, password, nonce);
    if (expected != response) return false;
    slot->peerAuthenticated = 1;
    return true;
}

void SetDigestPassword(SocketSet *set, const char *password) {
    std::lock_guard<std::recursive_mutex> hold(set->digestLock);
    memset(set->password, 0, sizeof set->password);
    if (!password) return;
    strncpy(set->password, password, sizeof set->password - 1);
    for (SocketSlot &slot : set->slots) {
        if (!slot.inUse || !slot.authRequested) continue;
        memcpy(slot.password, set->password, sizeof slot.password);
        HttpMessage *request = slot.lastRequest;
        if (request) {
            std::string response = DigestResponse(request->first, request->second, slot.realm,
                                                  "iTunes", slot.password, slot.nonce);
            std::string value = std::string("Digest username=\"iTunes\", realm=\"") + slot.realm +
                                "\", nonce=\"" + slot.nonce + "\", uri=\"" + request->second +
                                "\", response=\"" + response + "\"";
            char *copy = strdup(value.c_str());
            if (copy) {
                HeaderList &headers = request->headers;
                int found = -1;
                for (int i = 0; i < headers.count; i++)
                    if (found < 0 && strcmp(headers.names[i], "Authorization") == 0) found = i;
                if (found >= 0) {
                    free((void *)headers.values[found]);
                    headers.values[found] = copy;
                } else {
                    // The stored copy keeps one spare entry for exactly this header.
                    headers.names[headers.count] = strdup("Authorization");
                    headers.values[headers.count] = copy;
                    if (headers.names[headers.count])
                        headers.count++;
                    else
                        free(copy);
                }
                slot.retriedWithPassword = 1;
                (void)SendHttpRequest(set, request->first, request->second, request->version,
                                      &request->headers, request->body, request->bodyLength,
                                      slot.key);
            }
        }
        slot.authRequested = 0;
    }
}

std::string DigestChallenge() {
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> range(0, 32767);
    char number[16];
    snprintf(number, sizeof number, "%i", range(generator));
    std::string nonce = Md5Hex(number, strlen(number));
    return "Digest realm=\"AirPlay\", nonce=\"" + nonce + "\"";
}
