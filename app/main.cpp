#include "app/formcommunication.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velkaro"));
    FormCommunication::applyClassicLook();
    FormCommunication form;
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
