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
    // The last check gave no verdict (pkexec refused, bsign failed or crashed). The file is
    // checked again only once the model has forgotten it: asking at every repaint would
    // bring up pkexec's question again and again.
    bool checkFailed = false;
};
