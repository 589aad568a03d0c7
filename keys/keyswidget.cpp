#include "keyswidget.h"

KeysWidget::KeysWidget(QWidget *parent)
    : QWidget(parent)
{
}
