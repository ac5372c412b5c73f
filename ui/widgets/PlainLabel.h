#pragma once

#include <QLabel>
#include <QString>

// Labels throughout the program show file names, titles and server
// sentences; none of them may ever be read as rich text.
inline QLabel* plainLabel(const QString& text, const QString& objectName, QWidget* parent)
{
    auto* label = new QLabel(parent);
    if (!objectName.isEmpty()) {
        label->setObjectName(objectName);
    }
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

inline QLabel* plainLabel(const QString& text, QWidget* parent)
{
    return plainLabel(text, QString(), parent);
}
