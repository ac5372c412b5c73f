#include "JsonBody.h"

#include <QJsonDocument>
#include <QList>
#include <QSet>
#include <QString>

namespace {

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
    QByteArray utf8;
    QString out;
    qsizetype i = *pos + 1;
    auto flush = [&] {
        out += QString::fromUtf8(utf8);
        utf8.clear();
    };
    while (i < json.size() && json[i] != '"') {
        if (json[i] != '\\') {
            utf8 += json[i++];
            continue;
        }
        flush();
        const char e = i + 1 < json.size() ? json[i + 1] : '\0';
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
                for (int k = 0; k < 4 && i < json.size(); ++k, ++i) {
                    code = code * 16 + std::max(0, hexValue(json[i]));
                }
                out += QChar(char16_t(code));  // surrogate halves pair up in QString
                break;
            }
            default:
                out += QChar::fromLatin1(e);  // \" \\ \/
        }
    }
    flush();
    *pos = i + 1;
    return out;
}

}  // namespace

bool JsonBody::hasDuplicateKeys(const QByteArray& json)
{
    // One set of keys per open object; arrays push an empty marker so that
    // strings inside them are not taken for keys.
    struct Level
    {
        bool object = false;
        bool expectKey = false;
        QSet<QString> keys;
    };
    QList<Level> stack;
    qsizetype i = 0;
    while (i < json.size()) {
        const char c = json[i];
        if (c == '{') {
            stack.append({true, true, {}});
            ++i;
        } else if (c == '[') {
            stack.append({false, false, {}});
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
                if (stack.last().keys.contains(s)) {
                    return true;
                }
                stack.last().keys.insert(s);
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
