#pragma once

#include <QString>

// What is known about the signatures of one file.
struct FileSignatureStatus
{
    enum Code {
        StatusSigned = 0,
        StatusNotSigned = 1,
        StatusPending = 254,
        StatusUnknown = 255,
    };

    int elfStatus = StatusUnknown;
    int xattrStatus = StatusUnknown;
    QString elfInfo;
    QString xattrInfo;
};
