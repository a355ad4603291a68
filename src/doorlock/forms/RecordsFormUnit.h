#pragma once

#include "records/DoorlockRecordQueryUnit.h"
#include "records/DoorlockRecordStoreUnit.h"
#include "records/RecordRetentionUnit.h"

#include <QDialog>
#include <QString>

class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

// The issued-card rows of the record store, newest first, for the operator: filtered by room and operation
// time (the last 24 hours when it opens), the first rows shown with the count of all that match, and the
// whole filtered list exported as CSV; with a retention, a line under the list says from when rows are kept.
// It reads through a read-only session of its own, beside the host's writes.
class TRecordsForm : public QDialog {
    Q_OBJECT
public:
    explicit TRecordsForm(TRecordStoreTarget target, TRecordRetentionPolicy retention = {},
                          QWidget* parent = nullptr);

    // How many rows the list shows at most; the count says how many match.
    static constexpr int MaxShownRows = 1000;

private:
    void QueryBtnClick();
    void ExportBtnClick();
    TIssueCardRecordFilter FilterFromControls() const;

    TRecordStoreTarget m_target;
    // The filter of the rows shown, which the export writes.
    TIssueCardRecordFilter m_shownFilter;
    bool m_queried = false;

    QLineEdit* m_roomTxt = nullptr;
    QDateTimeEdit* m_fromTimeEdt = nullptr;
    QDateTimeEdit* m_toTimeEdt = nullptr;
    QPushButton* m_queryBtn = nullptr;
    QPushButton* m_exportBtn = nullptr;
    QLabel* m_countLbl = nullptr;
    QTableWidget* m_recordGrid = nullptr;
};

// The dialog on the store that Option.ini names, without an owner, modal, centred over the host window.
void ShowRecordsForm();
