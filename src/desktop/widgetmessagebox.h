#pragma once

#include "app/messagebox.h"

class WidgetMessageBox : public MessageBox
{
public:
    void critical(QWidget *parent, const QString &title, const QString &text) override;
};
