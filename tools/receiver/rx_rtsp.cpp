#include "tools/receiver/rx_rtsp.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

static std::string Trim(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

static std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        pieces.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return pieces;
}

// The AAC-ELD fmtp line's problems.
static void CheckEldFmtp(const std::string &text, std::vector<std::string> *problems) {
    bool mode = false, duration = false;
    for (const std::string &piece : Split(text, ';')) {
        std::string parameter = Trim(piece);
        size_t equals = parameter.find('=');
        if (equals == std::string::npos) continue;
        std::string name = parameter.substr(0, equals), value = parameter.substr(equals + 1);
        if (strcasecmp(name.c_str(), "mode") == 0) {
            mode = true;
            if (strcasecmp(value.c_str(), "AAC-eld") != 0)
                problems->push_back("fmtp mode \"" + value.substr(0, 40) + "\", expected AAC-eld");
        }
        if (strcasecmp(name.c_str(), "constantDuration") == 0) {
            duration = true;
            if (value != "480")
                problems->push_back("fmtp constantDuration \"" + value.substr(0, 40) +
                                    "\", expected 480");
        }
    }
    if (!mode) problems->push_back("fmtp without mode");
    if (!duration) problems->push_back("fmtp without constantDuration");
}

// The Apple Lossless fmtp line: eleven decimal numbers.
static void CheckAlacFmtp(const std::string &text, SdpFormat *format,
                          std::vector<std::string> *problems) {
    std::vector<std::string> fields;
    for (const std::string &piece : Split(Trim(text), ' '))
        if (!piece.empty()) fields.push_back(piece);
    if (fields.size() != 11) {
        problems->push_back("Apple Lossless fmtp \"" + text.substr(0, 80) + "\" has " +
                            std::to_string(fields.size()) + " numbers, expected 11");
        return;
    }
    for (size_t i = 0; i < 11; i++) {
        if (fields[i].size() > 10 ||
            fields[i].find_first_not_of("0123456789") != std::string::npos) {
            problems->push_back("Apple Lossless fmtp number \"" + fields[i].substr(0, 20) +
                                "\" is not a number");
            return;
        }
        format->alac[i] = (uint32_t)strtoul(fields[i].c_str(), nullptr, 10);
    }
    const uint32_t *v = format->alac;
    if (v[0] < 1 || v[0] > 4096)
        problems->push_back("Apple Lossless frame length " + std::to_string(v[0]) +
                            ", expected 1 to 4096");
    if (v[2] != 16)
        problems->push_back("Apple Lossless bit depth " + std::to_string(v[2]) + ", expected 16");
    if (v[6] != 2)
        problems->push_back("Apple Lossless channels " + std::to_string(v[6]) + ", expected 2");
    if (v[10] != 44100)
        problems->push_back("Apple Lossless sample rate " + std::to_string(v[10]) +
                            ", expected 44100");
    format->framesPerPacket = (int)v[0];
}

std::vector<std::string> SdpCheck(const std::string &sdp, SdpFormat *out) {
    std::vector<std::string> problems;
    SdpFormat format{};
    format.codec = -1;
    bool version = false, audio = false, rtpmap = false, fmtp = false;
    std::string fmtpText;
    for (std::string line : Split(sdp, '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "v=0") version = true;
        if (line.compare(0, 8, "m=audio ") == 0) {
            audio = true;
            if (line.find(" RTP/AVP 96") == std::string::npos)
                problems.push_back("audio media line \"" + line.substr(0, 80) +
                                   "\" does not name payload type 96 over RTP/AVP");
        }
        if (line.compare(0, 12, "a=rtpmap:96 ") == 0) {
            rtpmap = true;
            std::string map = Trim(line.substr(12));
            if (strcasecmp(map.c_str(), "mpeg4-generic/44100/2") == 0) {
                format.codec = kRxAacEld;
                format.framesPerPacket = 480;
            } else if (strcasecmp(map.c_str(), "AppleLossless") == 0) {
                format.codec = kRxAlac;
            } else if (strcasecmp(map.c_str(), "L16/44100/2") == 0) {
                format.codec = kRxPcm;
                format.framesPerPacket = 352;
            } else {
                problems.push_back("rtpmap \"" + map.substr(0, 80) +
                                   "\", expected mpeg4-generic/44100/2, AppleLossless or "
                                   "L16/44100/2");
            }
        }
        if (line.compare(0, 10, "a=fmtp:96 ") == 0) {
            fmtp = true;
            fmtpText = line.substr(10);
        }
    }
    if (format.codec == kRxAacEld) {
        if (fmtp)
            CheckEldFmtp(fmtpText, &problems);
        else
            problems.push_back("no a=fmtp:96 line");
    } else if (format.codec == kRxAlac) {
        if (fmtp)
            CheckAlacFmtp(fmtpText, &format, &problems);
        else
            problems.push_back("no a=fmtp:96 line: Apple Lossless needs its parameters");
    } else if (format.codec == -1 && !fmtp) {
        problems.push_back("no a=fmtp:96 line");
    }
    if (!version) problems.push_back("no v=0 line");
    if (!audio) problems.push_back("no m=audio line");
    if (!rtpmap) problems.push_back("no a=rtpmap:96 line");
    if (out) *out = format;
    return problems;
}

long HeaderParameter(const std::string &value, const char *name, long max) {
    size_t nameLength = strlen(name);
    for (const std::string &piece : Split(value, ';')) {
        std::string parameter = Trim(piece);
        if (parameter.size() <= nameLength || parameter.compare(0, nameLength, name) != 0 ||
            parameter[nameLength] != '=')
            continue;
        std::string number = parameter.substr(nameLength + 1);
        if (number.empty() || number.size() > 10 ||
            number.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        long parsed = strtol(number.c_str(), nullptr, 10);
        return parsed <= max ? parsed : -1;
    }
    return -1;
}

bool ParseVolume(const std::string &body, double *volume) {
    for (const std::string &line : Split(body, '\n')) {
        std::string text = Trim(line);
        if (strncasecmp(text.c_str(), "volume:", 7) != 0) continue;
        std::string number = Trim(text.substr(7));
        char *end = nullptr;
        double parsed = strtod(number.c_str(), &end);
        if (number.empty() || !end || *end) return false;
        *volume = parsed;
        return true;
    }
    return false;
}

static uint32_t Be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

bool DmapParseTrack(const uint8_t *data, size_t length, TrackInfo *out,
                    std::vector<std::string> *problems) {
    *out = TrackInfo{};
    if (length < 8 || memcmp(data, "mlit", 4) != 0) {
        problems->push_back("DMAP body does not start with an mlit item");
        return false;
    }
    uint32_t container = Be32(data + 4);
    if (container != length - 8) {
        problems->push_back("mlit length " + std::to_string(container) + " but " +
                            std::to_string(length - 8) + " bytes follow");
        if (container > length - 8) container = (uint32_t)(length - 8);
    }
    size_t position = 8, end = 8 + container;
    while (position < end) {
        if (end - position < 8) {
            problems->push_back("DMAP item header cut off");
            return false;
        }
        std::string tag((const char *)data + position, 4);
        uint32_t size = Be32(data + position + 4);
        position += 8;
        if (size > end - position) {
            problems->push_back("DMAP item " + tag + " of " + std::to_string(size) +
                                " bytes runs past the end");
            return false;
        }
        std::string value((const char *)data + position, size);
        position += size;
        if (tag == "asal") {
            out->hasAlbum = true;
            out->album = value;
        } else if (tag == "asar") {
            out->hasArtist = true;
            out->artist = value;
        } else if (tag == "minm") {
            out->hasName = true;
            out->name = value;
        }
    }
    return true;
}

bool LooksLikePng(const std::string &body) {
    static const char signature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
    return body.size() >= 8 && memcmp(body.data(), signature, 8) == 0;
}
