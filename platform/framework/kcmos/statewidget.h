#pragma once

#include "kcmos_export.h"
#include "kcmostypes.h"

#include <QWidget>

class QLabel;
class QProgressBar;

namespace KCMOS
{
// Shows what a module is busy with: a busy indicator with a short text while
// work runs in the background, nothing while idle.
class KCMOS_EXPORT StateWidget : public QWidget
{
    Q_OBJECT
public:
    explicit StateWidget(QWidget *parent = nullptr);

    void waitState(KCMOS::State state);
    void resetState();
    KCMOS::State currentState() const;

private:
    State m_state = Idle;
    QProgressBar *m_busyIndicator;
    QLabel *m_label;
};
}
