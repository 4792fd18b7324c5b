#pragma once

#include "ui_about.h"

#include <QDialog>

// The program's picture, name, version and maker, with an "OK" button that
// hides it. A tool window of fixed size.
class About : public QDialog, private Ui::About
{
    Q_OBJECT

public:
    explicit About(QWidget *parent);
    ~About() override;
};
