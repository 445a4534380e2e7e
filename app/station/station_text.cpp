#include "app/station/station_text.h"

#include <cstdio>

namespace {

void AppendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
size_t Utf8Length(const std::string& text, size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80)
        return 1;
    size_t length;
    unsigned long code, least;
    if ((c & 0xE0) == 0xC0) {
        length = 2, code = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3, code = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4, code = c & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points beyond Unicode are not UTF-8.
    if (code < least || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

// Reads four hex digits at line[i]; false when they are not.
bool ReadHex4(const std::string& line, size_t i, unsigned long* pCode) {
    if (i + 4 > line.size())
        return false;
    *pCode = 0;
    for (size_t k = i; k < i + 4; ++k) {
        char c = line[k];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return false;
        *pCode = *pCode * 16 + static_cast<unsigned long>(digit);
    }
    return true;
}

// A JSON string starting at its opening quote line[*pAt]; *pAt ends after its closing quote.
bool ReadString(const std::string& line, size_t* pAt, std::string* pText) {
    size_t i = *pAt + 1;
    pText->clear();
    while (i < line.size()) {
        char c = line[i++];
        if (c == '"') {
            *pAt = i;
            return true;
        }
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        if (c != '\\') {
            *pText += c;
            continue;
        }
        if (i >= line.size())
            return false;
        char e = line[i++];
        switch (e) {
        case '"':
        case '\\':
        case '/':
            *pText += e;
            break;
        case 'b':
            *pText += '\b';
            break;
        case 'f':
            *pText += '\f';
            break;
        case 'n':
            *pText += '\n';
            break;
        case 'r':
            *pText += '\r';
            break;
        case 't':
            *pText += '\t';
            break;
        case 'u': {
            unsigned long code;
            if (!ReadHex4(line, i, &code))
                return false;
            i += 4;
            unsigned long low;
            if (code >= 0xD800 && code <= 0xDBFF && i + 6 <= line.size() && line[i] == '\\' &&
                line[i + 1] == 'u' && ReadHex4(line, i + 2, &low) && low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            } else if (code >= 0xD800 && code <= 0xDFFF) {
                code = 0xFFFD; // a lone surrogate
            }
            AppendUtf8(*pText, code);
            break;
        }
        default:
            return false;
        }
    }
    return false;
}

void SkipSpace(const std::string& line, size_t* pAt) {
    while (*pAt < line.size() &&
           (line[*pAt] == ' ' || line[*pAt] == '\t' || line[*pAt] == '\r' || line[*pAt] == '\n'))
        ++*pAt;
}

} // namespace

bool STX_ReadEvent(const std::string& line, std::map<std::string, std::string>* pFields) {
    pFields->clear();
    size_t at = 0;
    SkipSpace(line, &at);
    if (at >= line.size() || line[at] != '{')
        return false;
    ++at;
    SkipSpace(line, &at);
    if (at < line.size() && line[at] == '}')
        return true;
    for (;;) {
        std::string key, value;
        SkipSpace(line, &at);
        if (at >= line.size() || line[at] != '"' || !ReadString(line, &at, &key))
            return false;
        SkipSpace(line, &at);
        if (at >= line.size() || line[at] != ':')
            return false;
        ++at;
        SkipSpace(line, &at);
        if (at >= line.size())
            return false;
        if (line[at] == '"') {
            if (!ReadString(line, &at, &value))
                return false;
        } else {
            // A number or a literal: the events hold no nested values.
            size_t end = at;
            while (end < line.size() && line[end] != ',' && line[end] != '}' && line[end] != ' ')
                ++end;
            value = line.substr(at, end - at);
            if (value.empty() || value.find_first_of("[]{}\"") != std::string::npos)
                return false;
            at = end;
        }
        (*pFields)[key] = value;
        SkipSpace(line, &at);
        if (at < line.size() && line[at] == ',') {
            ++at;
            continue;
        }
        if (at < line.size() && line[at] == '}') {
            ++at;
            SkipSpace(line, &at);
            return at == line.size();
        }
        return false;
    }
}

std::string STX_Utf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t length = Utf8Length(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string STX_JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == 0x7F) {
                char acEscape[8];
                std::snprintf(acEscape, sizeof acEscape, "\\u%04x", c);
                out += acEscape;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string STX_LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}
