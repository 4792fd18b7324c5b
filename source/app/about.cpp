#include "about.h"

#include "dialogflags.h"

About::About(QWidget *parent)
    : QDialog(parent)
{
    setWindowFlags(dialogFlags(Qt::Tool));
    setupUi(this);
    // The build's version, written once for the whole project.
    label_3->setText(label_3->text().arg(QStringLiteral(QUORVIA_VERSION)));
}

About::~About() = default;
