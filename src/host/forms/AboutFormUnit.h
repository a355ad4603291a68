#pragma once

#include <QDialog>

// Program name, version and maker.
class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);

private:
    void FormCreate();
};

// Creates the dialog without an owner, runs it modally and frees it.
void ShowAboutForm();
