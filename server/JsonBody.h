#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QVarLengthArray>

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

    // The common body read without building a document: one flat object of
    // string values with no escapes and distinct keys, as the player sends
    // it. Members point into `text`. False for anything else (other values,
    // escapes, nesting, invalid UTF-8, a repeated key, a fault), which parse()
    // then judges; whatever this accepts, parse() reads the same way.
    struct Member
    {
        QByteArrayView key;
        QByteArrayView value;
    };
    using Members = QVarLengthArray<Member, 8>;
    static bool readFlatStrings(QByteArrayView text, Members* out);
    // True when some object in `json` (already known to be valid JSON) names a
    // key twice, comparing keys after their escapes are decoded.
    static bool hasDuplicateKeys(const QByteArray& json);
};
