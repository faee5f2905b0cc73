// The main window's serial procedures (being built).
#include "shell/qx7100_1.h"

void qx7100_1::setUpSerial() {}
void qx7100_1::com1_Click() {}
void qx7100_1::com2_Click() {}
void qx7100_1::MSComm1_OnComm() {}
void qx7100_1::AppendSpyText(QString &) {}
bool qx7100_1::txtTerm_KeyPress(const QString &, int, Qt::KeyboardModifiers) { return false; }
bool qx7100_1::eventFilter(QObject *watched, QEvent *event) { return QMainWindow::eventFilter(watched, event); }
