#include "signingwidget.h"

SigningWidget::SigningWidget(DigSigControlPanel *panel, QWidget *parent)
    : QWidget(parent)
    , m_panel(panel)
{
    setupTable();
}

void SigningWidget::setupTable() { }
