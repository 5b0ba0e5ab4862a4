#include "tools/receiver/rx_digest.h"

#include <cstdio>
#include <openssl/evp.h>
#include <sys/random.h>

std::string Md5Hex(const void *bytes, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (!context || EVP_DigestInit_ex(context, EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(context, bytes, length) != 1 ||
        EVP_DigestFinal_ex(context, digest, &digestLength) != 1) {
        EVP_MD_CTX_free(context);
        return std::string();
    }
    EVP_MD_CTX_free(context);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < digestLength; i++) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

static std::string Md5HexOf(const std::string &text) {
    return Md5Hex(text.data(), text.size());
}

std::string DigestResponse(const std::string &method, const std::string &uri,
                           const std::string &realm, const std::string &user,
                           const std::string &password, const std::string &nonce) {
    std::string ha1 = Md5HexOf(user + ":" + realm + ":" + password);
    std::string ha2 = Md5HexOf(method + ":" + uri);
    return Md5HexOf(ha1 + ":" + nonce + ":" + ha2);
}

bool DigestParseParams(const std::string &list, std::map<std::string, std::string> *out) {
    size_t i = 0, n = list.size();
    while (i < n) {
        while (i < n && (list[i] == ' ' || list[i] == '\t' || list[i] == ','))
            i++;
        if (i == n) break;
        size_t nameStart = i;
        while (i < n && list[i] != '=' && list[i] != ',' && list[i] != ' ')
            i++;
        std::string name = list.substr(nameStart, i - nameStart);
        while (i < n && list[i] == ' ')
            i++;
        if (name.empty() || i == n || list[i] != '=') return false;
        i++;
        while (i < n && list[i] == ' ')
            i++;
        std::string value;
        if (i < n && list[i] == '"') {
            i++;
            bool closed = false;
            while (i < n) {
                char c = list[i++];
                if (c == '\\' && i < n) {
                    value += list[i++];
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    value += c;
                }
            }
            if (!closed) return false;
        } else {
            size_t valueStart = i;
            while (i < n && list[i] != ',')
                i++;
            value = list.substr(valueStart, i - valueStart);
            while (!value.empty() && value.back() == ' ')
                value.pop_back();
        }
        (*out)[name] = value;
        if (out->size() > 32) return false;
    }
    return true;
}

const char *DigestVerdictName(DigestVerdict verdict) {
    switch (verdict) {
    case kDigestAccepted:
        return "accepted";
    case kDigestMissing:
        return "no Authorization header";
    case kDigestMalformed:
        return "malformed Authorization header";
    case kDigestWrongRealm:
        return "wrong realm";
    case kDigestUnknownNonce:
        return "nonce not issued by this receiver";
    case kDigestUriMismatch:
        return "uri parameter differs from the request URI";
    case kDigestWrongResponse:
        return "wrong response (password)";
    }
    return "?";
}

DigestVerdict DigestCheck(const std::string *authorization, const std::string &method,
                          const std::string &requestUri, const std::string &password,
                          const std::vector<std::string> &issuedNonces, std::string *user) {
    if (!authorization) return kDigestMissing;
    if (authorization->compare(0, 7, "Digest ") != 0) return kDigestMalformed;
    std::map<std::string, std::string> params;
    if (!DigestParseParams(authorization->substr(7), &params)) return kDigestMalformed;
    static const char *required[] = {"username", "realm", "nonce", "uri", "response"};
    for (const char *name : required)
        if (params[name].empty()) return kDigestMalformed;
    *user = params["username"];
    if (params["realm"] != kDigestRealm) return kDigestWrongRealm;
    bool known = false;
    for (auto &nonce : issuedNonces)
        known = known || nonce == params["nonce"];
    if (!known) return kDigestUnknownNonce;
    if (params["uri"] != requestUri) return kDigestUriMismatch;
    std::string expected = DigestResponse(method, params["uri"], params["realm"],
                                          params["username"], password, params["nonce"]);
    if (expected != params["response"]) return kDigestWrongResponse;
    return kDigestAccepted;
}

std::string DigestNewNonce() {
    unsigned char bytes[16] = {};
    if (getrandom(bytes, sizeof bytes, 0) != (ssize_t)sizeof bytes) {
        // getrandom on Linux does not fail for 16 bytes once booted; keep a usable value anyway.
        for (size_t i = 0; i < sizeof bytes; i++)
            bytes[i] = (unsigned char)(i * 37 + 11);
    }
    char text[33];
    for (size_t i = 0; i < sizeof bytes; i++)
        snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}
