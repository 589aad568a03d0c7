#pragma once

#include <QWidget>

// The keys tab: the key directories under /etc/digsig and key creation.
class KeysWidget : public QWidget
{
    Q_OBJECT
public:
    explicit KeysWidget(QWidget *parent = nullptr);
};
