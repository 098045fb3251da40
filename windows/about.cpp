#include "windows/about.h"

#include "ui_About.h"

namespace tavrel {

About::About(QWidget *parent) : QDialog(parent), ui(new Ui::About)
{
    ui->setupUi(this);
    setFixedSize(size());
    // "Quit" closes this window only; the mode window goes on.
    connect(ui->Command1, &QPushButton::clicked, this, &QDialog::close);
}

About::~About() = default;

} // namespace tavrel
