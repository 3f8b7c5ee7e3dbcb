// The four modal dialogs of the main window: system settings, forward
// settings, the port dialog and the version dialog. Each holds its fields as
// public members: the main window fills them in, runs the dialog with exec()
// and takes the fields over only when it ends with OK. A dialog changes
// nothing outside its own fields. Main thread only.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QRadioButton;
class QSpinBox;

class CSystemSettingsDlg : public QDialog {
    Q_OBJECT

public:
    explicit CSystemSettingsDlg(QWidget* parent = nullptr);

    // Radio values: 0 first button, 1 second, anything else none.
    int appMode = -1;
    int soundMode = -1;
    int openWindow = -1;
    int acceptPolicy = -1;
    int autoConnect = 0;
    std::string autoConnectUser;
    // The handles of the contact list, in list order.
    std::vector<std::string> contacts;

    // Fills the controls from the fields (done by exec()).
    void initDialog();
    // Reads the controls into the fields.
    void readControls();
    void applyEnablingRule();
    void accept() override;
    int exec() override;

private:
    QRadioButton* radio(int id, const QString& text);
    static void setPair(QRadioButton* first, QRadioButton* second, int value);
    static int pairValue(const QRadioButton* first, const QRadioButton* second);

    QRadioButton* serverMode;
    QRadioButton* clientMode;
    QRadioButton* soundOff;
    QRadioButton* soundOn;
    QRadioButton* windowOpen;
    QRadioButton* windowClosed;
    QRadioButton* acceptSelected;
    QRadioButton* acceptContacts;
    QGroupBox* acceptGroup;
    QGroupBox* autoGroup;
    QCheckBox* autoBox;
    QComboBox* userBox;
};

class CForwardSettingsDlg : public QDialog {
    Q_OBJECT

public:
    explicit CForwardSettingsDlg(QWidget* parent = nullptr);

    std::string hosts[5];
    std::string ports[5];
    int localhost[5] = {0, 0, 0, 0, 0};

    void initDialog();
    void onLocalhostClicked(int k);
    void onOk();
    int exec() override;
    // A port text as a signed decimal number; 0 for anything else.
    static int parsePort(const QString& text);

private:
    QCheckBox* boxes[5];
    QLineEdit* hostEdits[5];
    QLineEdit* portEdits[5];
};

class CPortDlg : public QDialog {
    Q_OBJECT

public:
    explicit CPortDlg(QWidget* parent = nullptr);

    int port = 0;

    void initDialog();
    void accept() override;
    int exec() override;

private:
    QSpinBox* spin;
};

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
