#pragma once

#include <QDebug>
#include <QObject>
#include <QVariant>
#include <QVector>

// One property a form promises: of the child with that object name, or of the form itself
// when the name is empty.
struct FormProperty
{
    QString objectName;
    const char *property;
    QVariant value;
};

// True when every listed property has its value; every mismatch is warned about by name.
inline bool formMatches(const QObject &form, const QVector<FormProperty> &expected)
{
    bool matches = true;
    for (const FormProperty &row : expected) {
        const QObject *object = row.objectName.isEmpty() ? &form : form.findChild<QObject *>(row.objectName);
        const QVariant actual = object ? object->property(row.property) : QVariant();
        if (!object || actual != row.value) {
            qWarning() << row.objectName << row.property << "is" << actual << "not" << row.value;
            matches = false;
        }
    }
    return matches;
}
