#include "JsonWriter.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QLocale>
#include <cmath>

namespace {

// Integers are exact in a double up to 2^53; beyond that the shortest
// round-trip form is written, as Qt does.
constexpr double kMaxExactInteger = 9007199254740992.0;

void writeValue(const QJsonValue& value, std::string* out);

void writeString(QStringView text, std::string* out)
{
    static const char kHex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    out->push_back('"');
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out->append("\\\"");
                break;
            case '\\':
                out->append("\\\\");
                break;
            case '\b':
                out->append("\\b");
                break;
            case '\f':
                out->append("\\f");
                break;
            case '\n':
                out->append("\\n");
                break;
            case '\r':
                out->append("\\r");
                break;
            case '\t':
                out->append("\\t");
                break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    out->append("\\u00");
                    out->push_back(kHex[u >> 4]);
                    out->push_back(kHex[u & 0xf]);
                } else {
                    out->push_back(c);
                }
        }
    }
    out->push_back('"');
}

void writeNumber(double d, std::string* out)
{
    if (!std::isfinite(d)) {
        out->append("null");  // JSON has no infinities; Qt writes null too
    } else if (d == std::floor(d) && std::fabs(d) < kMaxExactInteger) {
        out->append(std::to_string(static_cast<long long>(d)));
    } else {
        out->append(QByteArray::number(d, 'g', QLocale::FloatingPointShortest).toStdString());
    }
}

void writeObject(const QJsonObject& object, std::string* out)
{
    out->push_back('{');
    bool first = true;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!first) {
            out->push_back(',');
        }
        first = false;
        writeString(it.key(), out);
        out->push_back(':');
        writeValue(it.value(), out);
    }
    out->push_back('}');
}

void writeValue(const QJsonValue& value, std::string* out)
{
    switch (value.type()) {
        case QJsonValue::Null:
        case QJsonValue::Undefined:
            out->append("null");
            break;
        case QJsonValue::Bool:
            out->append(value.toBool() ? "true" : "false");
            break;
        case QJsonValue::Double:
            writeNumber(value.toDouble(), out);
            break;
        case QJsonValue::String:
            writeString(value.toString(), out);
            break;
        case QJsonValue::Array: {
            out->push_back('[');
            bool first = true;
            for (const QJsonValue& item : value.toArray()) {
                if (!first) {
                    out->push_back(',');
                }
                first = false;
                writeValue(item, out);
            }
            out->push_back(']');
            break;
        }
        case QJsonValue::Object:
            writeObject(value.toObject(), out);
            break;
    }
}

}  // namespace

void JsonWriter::appendString(QStringView text, std::string* out)
{
    writeString(text, out);
}

std::string JsonWriter::compact(const QJsonObject& object)
{
    std::string out;
    out.reserve(256);  // a key answer fits
    writeObject(object, &out);
    return out;
}
