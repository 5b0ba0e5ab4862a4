#include "tools/receiver/rx_http.h"

#include <cstring>
#include <strings.h>

static std::string Trim(const std::string &text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        begin++;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        end--;
    return text.substr(begin, end - begin);
}

static bool IsToken(const std::string &text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (c <= 32 || c >= 127) return false;
    return true;
}

HttpParseResult HttpParseRequest(const uint8_t *data, size_t length, HttpRequest *out,
                                 size_t *consumed, std::string *error) {
    const char *text = (const char *)data;
    size_t scan = length < kHttpMaxHead ? length : kHttpMaxHead;
    size_t headEnd = 0;
    for (size_t i = 0; i + 3 < scan; i++) {
        if (memcmp(text + i, "\r\n\r\n", 4) == 0) {
            headEnd = i;
            break;
        }
    }
    if (headEnd == 0) {
        if (length >= 4 && memcmp(text, "\r\n\r\n", 4) == 0) {
            *error = "empty request head";
            return kHttpBad;
        }
        if (length >= kHttpMaxHead) {
            *error = "request head longer than 16384 bytes";
            return kHttpBad;
        }
        return kHttpIncomplete;
    }
    HttpRequest request;
    std::string head(text, headEnd);
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t space1 = requestLine.find(' ');
    size_t space2 =
        space1 == std::string::npos ? std::string::npos : requestLine.find(' ', space1 + 1);
    if (space2 == std::string::npos || requestLine.find(' ', space2 + 1) != std::string::npos) {
        *error = "malformed request line";
        return kHttpBad;
    }
    request.method = requestLine.substr(0, space1);
    request.uri = requestLine.substr(space1 + 1, space2 - space1 - 1);
    request.version = requestLine.substr(space2 + 1);
    if (!IsToken(request.method) || !IsToken(request.uri) ||
        (request.version.compare(0, 5, "HTTP/") != 0 &&
         request.version.compare(0, 5, "RTSP/") != 0) ||
        !IsToken(request.version)) {
        *error = "malformed request line";
        return kHttpBad;
    }
    size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
        size_t next = head.find("\r\n", position);
        if (next == std::string::npos) next = head.size();
        std::string line = head.substr(position, next - position);
        position = next + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            *error = "header line without a name";
            return kHttpBad;
        }
        std::string name = line.substr(0, colon);
        if (!IsToken(name)) {
            *error = "header name with white space or control characters";
            return kHttpBad;
        }
        request.headers.emplace_back(name, Trim(line.substr(colon + 1)));
        if (request.headers.size() > 100) {
            *error = "more than 100 header lines";
            return kHttpBad;
        }
    }
    size_t bodyLength = 0;
    bool haveLength = false;
    for (auto &header : request.headers) {
        if (strcasecmp(header.first.c_str(), "Transfer-Encoding") == 0) {
            *error = "Transfer-Encoding is not supported";
            return kHttpBad;
        }
        if (strcasecmp(header.first.c_str(), "Content-Length") != 0) continue;
        const std::string &value = header.second;
        if (value.empty() || value.size() > 9 ||
            value.find_first_not_of("0123456789") != std::string::npos) {
            *error = "invalid Content-Length \"" + value.substr(0, 32) + "\"";
            return kHttpBad;
        }
        size_t parsed = strtoul(value.c_str(), nullptr, 10);
        if (haveLength && parsed != bodyLength) {
            *error = "conflicting Content-Length lines";
            return kHttpBad;
        }
        haveLength = true;
        bodyLength = parsed;
    }
    if (bodyLength > kHttpMaxBody) {
        *error = "body of " + std::to_string(bodyLength) + " bytes exceeds the limit";
        return kHttpBad;
    }
    size_t total = headEnd + 4 + bodyLength;
    if (length < total) return kHttpIncomplete;
    request.body.assign(text + headEnd + 4, bodyLength);
    *out = std::move(request);
    *consumed = total;
    return kHttpComplete;
}

const std::string *HttpFindHeader(const HttpRequest &request, const char *name) {
    for (auto &header : request.headers)
        if (strcasecmp(header.first.c_str(), name) == 0) return &header.second;
    return nullptr;
}

std::string HttpBuildResponse(const std::string &version, int status, const char *reason,
                              const HttpHeaders &headers, const std::string &body) {
    std::string text = (version.empty() ? std::string("HTTP/1.1") : version) + " " +
                       std::to_string(status) + " " + reason + "\r\n";
    for (auto &header : headers)
        text += header.first + ": " + header.second + "\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    text += body;
    return text;
}
