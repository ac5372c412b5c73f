#include "JsonBody.h"

#include <QJsonDocument>
#include <QList>
#include <QSet>
#include <QString>
#include <QVarLengthArray>

namespace {

constexpr qsizetype kListedKeys = 16;  // keys per object compared one by one

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads the string that starts at json[*pos] (the opening quote) and leaves
// *pos behind the closing quote. Escapes are decoded so that "a" and "\u0061"
// are the same key, as they are to every JSON reader.
QString readString(const QByteArray& json, qsizetype* pos)
{
    QString out;
    const char* data = json.constData();
    const qsizetype size = json.size();
    qsizetype i = *pos + 1;
    while (i < size && data[i] != '"') {
        // Plain bytes up to the next escape or the end go over in one piece.
        qsizetype run = i;
        while (run < size && data[run] != '"' && data[run] != '\\') {
            ++run;
        }
        if (run > i) {
            out += QString::fromUtf8(data + i, run - i);
            i = run;
            continue;
        }
        const char e = i + 1 < size ? data[i + 1] : '\0';
        i += 2;
        switch (e) {
            case 'b':
                out += u'\b';
                break;
            case 'f':
                out += u'\f';
                break;
            case 'n':
                out += u'\n';
                break;
            case 'r':
                out += u'\r';
                break;
            case 't':
                out += u'\t';
                break;
            case 'u': {
                int code = 0;
                for (int k = 0; k < 4 && i < size; ++k, ++i) {
                    code = code * 16 + std::max(0, hexValue(data[i]));
                }
                out += QChar(char16_t(code));  // surrogate halves pair up in QString
                break;
            }
            default:
                out += QChar::fromLatin1(e);  // \" \\ \/
        }
    }
    *pos = i + 1;
    return out;
}

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Well-formed UTF-8 as RFC 3629 has it: no overlong forms, no surrogates,
// nothing past U+10FFFF.
bool isUtf8(const unsigned char* p, qsizetype n)
{
    qsizetype i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int more = 0;
        unsigned char low = 0x80, high = 0xbf;  // the first continuation byte's range
        if (c >= 0xc2 && c <= 0xdf) {
            more = 1;
        } else if (c == 0xe0) {
            more = 2, low = 0xa0;
        } else if ((c >= 0xe1 && c <= 0xec) || c == 0xee || c == 0xef) {
            more = 2;
        } else if (c == 0xed) {
            more = 2, high = 0x9f;
        } else if (c == 0xf0) {
            more = 3, low = 0x90;
        } else if (c >= 0xf1 && c <= 0xf3) {
            more = 3;
        } else if (c == 0xf4) {
            more = 3, high = 0x8f;
        } else {
            return false;
        }
        if (n - i <= more || p[i + 1] < low || p[i + 1] > high) {
            return false;
        }
        for (int k = 2; k <= more; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xbf) {
                return false;
            }
        }
        i += more + 1;
    }
    return true;
}

// A string with no escape and no control character, starting at the opening
// quote; *pos is left behind the closing one.
bool readPlainString(QByteArrayView text, qsizetype* pos, QByteArrayView* out)
{
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    const qsizetype start = *pos + 1;
    qsizetype i = start;
    bool ascii = true;
    while (i < text.size() && data[i] != '"') {
        if (data[i] == '\\' || data[i] < 0x20) {
            return false;
        }
        ascii = ascii && data[i] < 0x80;
        ++i;
    }
    if (i >= text.size() || (!ascii && !isUtf8(data + start, i - start))) {
        return false;
    }
    *out = text.sliced(start, i - start);
    *pos = i + 1;
    return true;
}

}  // namespace

bool JsonBody::readFlatStrings(QByteArrayView text, Members* out)
{
    out->clear();
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto skipSpace = [&] {
        while (i < n && isJsonSpace(text[i])) {
            ++i;
        }
    };
    auto expect = [&](char c) {
        skipSpace();
        if (i < n && text[i] == c) {
            ++i;
            return true;
        }
        return false;
    };
    if (!expect('{')) {
        return false;
    }
    skipSpace();
    if (i < n && text[i] == '}') {
        ++i;
    } else {
        for (;;) {
            Member m;
            skipSpace();
            if (i >= n || text[i] != '"' || !readPlainString(text, &i, &m.key) || !expect(':')) {
                return false;
            }
            skipSpace();
            if (i >= n || text[i] != '"' || !readPlainString(text, &i, &m.value)) {
                return false;
            }
            for (const Member& earlier : std::as_const(*out)) {
                if (earlier.key == m.key) {
                    return false;
                }
            }
            out->append(m);
            if (expect('}')) {
                break;
            }
            if (!expect(',')) {
                return false;
            }
        }
    }
    skipSpace();
    return i == n;
}

bool JsonBody::hasDuplicateKeys(const QByteArray& json)
{
    // One set of keys per open object; arrays push an empty marker so that
    // strings inside them are not taken for keys.
    struct Level
    {
        bool object = false;
        bool expectKey = false;
        // Bodies have a handful of keys: a short list beats hashing, until
        // a long object would make the list quadratic.
        QVarLengthArray<QString, 8> few;
        QSet<QString> many;
        // False when `key` was already there.
        bool add(const QString& key)
        {
            if (many.isEmpty() && few.size() < kListedKeys) {
                if (few.contains(key)) {
                    return false;
                }
                few.append(key);
                return true;
            }
            if (many.isEmpty()) {
                many = QSet<QString>(few.cbegin(), few.cend());
            }
            if (many.contains(key)) {
                return false;
            }
            many.insert(key);
            return true;
        }
    };
    QVarLengthArray<Level, 4> stack;
    qsizetype i = 0;
    while (i < json.size()) {
        const char c = json[i];
        if (c == '{') {
            stack.append({true, true, {}, {}});
            ++i;
        } else if (c == '[') {
            stack.append({false, false, {}, {}});
            ++i;
        } else if (c == '}' || c == ']') {
            if (!stack.isEmpty()) {
                stack.removeLast();
            }
            ++i;
        } else if (c == ',') {
            if (!stack.isEmpty() && stack.last().object) {
                stack.last().expectKey = true;
            }
            ++i;
        } else if (c == '"') {
            const QString s = readString(json, &i);
            if (!stack.isEmpty() && stack.last().object && stack.last().expectKey) {
                if (!stack.last().add(s)) {
                    return true;
                }
                stack.last().expectKey = false;
            }
        } else {
            ++i;
        }
    }
    return false;
}

JsonBody::Problem JsonBody::parse(const QByteArray& text, QJsonObject* out)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        return Problem::NotAnObject;
    }
    if (hasDuplicateKeys(text)) {
        return Problem::DuplicateKey;
    }
    *out = doc.object();
    return Problem::None;
}
