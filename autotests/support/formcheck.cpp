#include "formcheck.h"

#include <QDebug>
#include <QObject>

bool formMatches(const QObject &form, const QVector<FormProperty> &expected)
{
    bool matches = true;
    for (const FormProperty &row : expected) {
        const QObject *object = row.objectName.isEmpty() ? &form : form.findChild<QObject *>(row.objectName);
        if (!object) {
            qWarning() << "no child named" << row.objectName;
            matches = false;
            continue;
        }
        const QVariant actual = object->property(row.property);
        if (actual != row.value) {
            qWarning() << row.objectName << row.property << "is" << actual << "not" << row.value;
            matches = false;
        }
    }
    return matches;
}
