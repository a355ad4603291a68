#include "doorlock/forms/RecordsFormUnit.h"

#include "doorlock/DoorlockOptionUnit.h"
#include "forms/FormSupportUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/FileNameUnit.h"

#include <QDateTime>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include <cstdio>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <utility>

namespace {

TDateTime FromQDateTime(const QDateTime& value) {
    const QDate date = value.date();
    const QTime time = value.time();
    return EncodeDateTime(date.year(), date.month(), date.day(), time.hour(), time.minute(), time.second());
}

QDateTimeEdit* AddTimeEdit(QWidget* parent, const char* name, const QDateTime& value, int left) {
    auto* edit = new QDateTimeEdit(value, parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    edit->setCalendarPopup(true);
    edit->setGeometry(left, 12, 165, 23);
    return edit;
}

struct TFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

TRecordsForm::TRecordsForm(TRecordStoreTarget target, TRecordRetentionPolicy retention, QWidget* parent)
    : QDialog(parent), m_target(std::move(target)) {
    setObjectName(QStringLiteral("RecordsForm"));
    setWindowTitle(QStringLiteral("发卡记录"));
    setFixedSize(1000, 520);

    AddLabel(this, "RoomLbl", QStringLiteral("房间："), 12, 15);
    m_roomTxt = AddEntry(this, "RoomTxt", QString(), 52, 13, 90);
    m_roomTxt->setToolTip(QStringLiteral("房号（4 位，如 0816：各楼栋各楼层的该房间）或楼栋+楼层+房号（如 "
                                         "01080816）；空：全部房间"));
    const QDateTime now = QDateTime::currentDateTime();
    AddLabel(this, "FromLbl", QStringLiteral("从："), 156, 15);
    m_fromTimeEdt = AddTimeEdit(this, "FromTimeEdt", now.addSecs(-24 * 3600), 182);
    AddLabel(this, "ToLbl", QStringLiteral("到："), 356, 15);
    m_toTimeEdt = AddTimeEdit(this, "ToTimeEdt", now, 382);
    m_queryBtn = AddButton(this, "QueryBtn", QStringLiteral("查询"), 562, 11);
    m_exportBtn = AddButton(this, "ExportBtn", QStringLiteral("导出..."), 646, 11);
    m_countLbl = AddLabel(this, "CountLbl", QString(), 734, 15);

    m_recordGrid = new QTableWidget(0, 10, this);
    m_recordGrid->setObjectName(QStringLiteral("RecordGrid"));
    m_recordGrid->setGeometry(12, 46, 976, 462);
    m_recordGrid->setHorizontalHeaderLabels(
        {QStringLiteral("操作时间"), QStringLiteral("房间"), QStringLiteral("卡号"), QStringLiteral("结果"),
         QStringLiteral("类型"), QStringLiteral("开始时间"), QStringLiteral("离店时间"),
         QStringLiteral("客人姓名"), QStringLiteral("登记号"), QStringLiteral("来源")});
    m_recordGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_recordGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_recordGrid->verticalHeader()->setVisible(false);
    m_recordGrid->horizontalHeader()->setStretchLastSection(true);
    // Rows older than the retention are gone or nameless; the operator is told so under the list.
    if (const std::string notice = RetentionNotice(retention, Now()); !notice.empty()) {
        m_recordGrid->setGeometry(12, 46, 976, 438);
        AddLabel(this, "RetentionLbl", ToQString(notice), 12, 492);
    }
    const int widths[] = {135, 75, 80, 40, 50, 135, 135, 60, 118};
    for (int i = 0; i < static_cast<int>(std::size(widths)); ++i)
        m_recordGrid->setColumnWidth(i, widths[i]);

    setTabOrder(m_roomTxt, m_fromTimeEdt);
    setTabOrder(m_fromTimeEdt, m_toTimeEdt);
    setTabOrder(m_toTimeEdt, m_queryBtn);
    setTabOrder(m_queryBtn, m_exportBtn);
    setTabOrder(m_exportBtn, m_recordGrid);

    connect(m_queryBtn, &QPushButton::clicked, this,
            [this] { RunGuarded(this, [this] { QueryBtnClick(); }); });
    connect(m_exportBtn, &QPushButton::clicked, this,
            [this] { RunGuarded(this, [this] { ExportBtnClick(); }); });

    // The last 24 hours at once; a store that cannot be read says so and leaves the list empty.
    RunGuarded(nullptr, [this] { QueryBtnClick(); });
}

TIssueCardRecordFilter TRecordsForm::FilterFromControls() const {
    TIssueCardRecordFilter filter;
    filter.Room = FromQString(m_roomTxt->text().trimmed());
    filter.From = FromQDateTime(m_fromTimeEdt->dateTime());
    filter.To = FromQDateTime(m_toTimeEdt->dateTime());
    return filter;
}

void TRecordsForm::QueryBtnClick() {
    const TIssueCardRecordFilter filter = FilterFromControls();
    m_recordGrid->setRowCount(0);
    m_countLbl->clear();
    TDoorlockRecordQuery query(m_target);
    const TIssueCardRecordPage page = query.FirstRows(filter, MaxShownRows);
    m_shownFilter = filter;
    m_queried = true;
    m_recordGrid->setRowCount(static_cast<int>(page.Rows.size()));
    for (int r = 0; r < static_cast<int>(page.Rows.size()); ++r) {
        const TIssueCardRecordRow& row = page.Rows[static_cast<size_t>(r)];
        const std::string cells[] = {
            row.OpratingTime,         row.RoomNo,          row.CardNo,       IssueResultText(row),
            CardKindText(row.IsCopy), row.LastCheckInTime, row.CheckOutTime, row.GuestName,
            row.RegisterId,           row.Source};
        // Shown as the CLI shows them: a cell draws a line break as a second line, and control characters as
        // nothing, so a name could pass for another row or hide what it holds.
        for (int c = 0; c < static_cast<int>(std::size(cells)); ++c)
            m_recordGrid->setItem(r, c, new QTableWidgetItem(ToQString(VisibleText(cells[c]))));
    }
    m_countLbl->setText(page.Total > static_cast<int64_t>(page.Rows.size())
                            ? QStringLiteral("显示前 %1 条，共 %2 条").arg(page.Rows.size()).arg(page.Total)
                            : QStringLiteral("共 %1 条").arg(page.Total));
    m_countLbl->adjustSize();
}

void TRecordsForm::ExportBtnClick() {
    // The rows of the list's filter, all of them, not only those the list shows.
    if (!m_queried)
        QueryBtnClick();
    const QString fileName = QFileDialog::getSaveFileName(this, QStringLiteral("导出发卡记录"), QString(),
                                                          QStringLiteral("CSV 文件 (*.csv)"));
    if (fileName.isEmpty())
        return;
    const std::string name = FromQString(fileName);
    const std::runtime_error writeError(Gbk("无法写入文件 ") + name);
    std::unique_ptr<std::FILE, TFileCloser> file(FileOpen(name, "wb"));
    if (!file)
        throw writeError;
    const auto write = [&](const std::string& text) {
        if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size())
            throw writeError;
    };
    write(RecordsCsvHeader());
    TDoorlockRecordQuery query(m_target);
    query.ForEach(m_shownFilter, [&](const TIssueCardRecordRow& row) { write(RecordCsvLine(row)); });
    if (std::fclose(file.release()) != 0)
        throw writeError;
}

void ShowRecordsForm() {
    if (Option == nullptr)
        return;
    // The store beside Option.ini, as the host opened it.
    const std::string programDir = FileNameOf(FileSystemPath(Option->FileName).parent_path());
    TRecordRetentionPolicy retention;
    try {
        retention = RecordRetentionPolicyOf(*Option);
    } catch (const std::exception&) {
        // The host did not start with it; the rows are shown all the same.
    }
    TRecordsForm form(RecordStoreTarget(Option->Database, programDir), retention);
    CentreWindow(&form, HostWindow());
    form.exec();
}
