#include "about.h"

About::About(QWidget *parent)
    : QDialog(parent)
{
    setWindowFlags(Qt::Tool);
    setupUi(this);
}

About::~About() = default;
