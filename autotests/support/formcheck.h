#pragma once

#include <QVariant>
#include <QVector>

class QObject;

// One property a form promises: of the child with that object name, or of the form itself
// when the name is empty.
struct FormProperty
{
    QString objectName;
    const char *property;
    QVariant value;
};

// True when every listed property has its value; each mismatch or missing child is warned
// about by name, so that one failed check tells all that differs.
bool formMatches(const QObject &form, const QVector<FormProperty> &expected);
