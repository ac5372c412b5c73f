#pragma once

#include <QByteArray>
#include <QJsonObject>

// Request bodies: one JSON object whose keys appear once each. Qt keeps one
// of two equal keys silently, and another parser (a proxy, a log pipeline)
// might keep the other one, so a repeated key is refused instead.
class JsonBody
{
public:
    enum class Problem
    {
        None,
        NotAnObject,  // not JSON, or JSON but not an object
        DuplicateKey,
    };

    static Problem parse(const QByteArray& text, QJsonObject* out);
    // True when some object in `json` (already known to be valid JSON) names a
    // key twice, comparing keys after their escapes are decoded.
    static bool hasDuplicateKeys(const QByteArray& json);
};
