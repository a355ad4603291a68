#include "GuiTestSupport.h"

#include "doorlock/forms/RecordsFormUnit.h"
#include "host/forms/MainFormUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "records/DoorlockRecordStoreUnit.h"

#include <QAction>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

class TRecordsFormTest : public TFormTest {};

// From the main window, after the password: a room's rows of one day, by the room number alone, and their
// export.
TEST_F(TRecordsFormTest, PasswordThenFilterThenExport) {
    {
        TDoorlockRecordStore store("sqlite3", m_sandbox.File("Client.db"));
        const struct {
            const char* Room;
            int Hour;
            const char* Guest;
            bool Copy;
            const char* Source;
            const char* Card; // "0": the issue failed
        } rows[] = {{"01080816", 9, "张三", false, "本机操作员", "816123114"},
                    {"01080817", 10, "Other", false, "", "817123114"},
                    {"02030816", 10, "A\x1b[8m\nB", false, "127.0.0.1:50000", "0"},
                    {"01080816", 11, "李四", true, "127.0.0.1:50001", "816123114"},
                    {"01080816", 23, "Late", false, "", "816123114"}};
        for (const auto& row : rows)
            store.AddIssueCardRecord({.RegisterId = "R",
                                      .CardNo = row.Card,
                                      .RoomNo = row.Room,
                                      .LastCheckInTime = EncodeDateTime(2026, 12, 29, 8, 0, 0),
                                      .CheckOutTime = EncodeDateTime(2026, 12, 31, 14, 30, 0),
                                      .IsCopy = row.Copy,
                                      .GuestName = Gbk(row.Guest),
                                      .OpratingTime = EncodeDateTime(2026, 12, 29, row.Hour, 0, 0),
                                      .Source = Gbk(row.Source)});
    }
    TMainForm form;
    form.show();
    {
        TModalDriver driver({Expect("TCheckPasswordForm", Cancel())});
        Child<QAction>(&form, "RecordsAction")->trigger();
    }

    const std::string csvFile = m_sandbox.File("records.csv");
    QStringList shown;
    QString count, defaultFrom, defaultTo;
    {
        TModalDriver driver(
            {EnterPassword(Text("mirvek")),
             Expect("TRecordsForm",
                    [&](QWidget* window) {
                        auto* from = Child<QDateTimeEdit>(window, "FromTimeEdt");
                        auto* to = Child<QDateTimeEdit>(window, "ToTimeEdt");
                        defaultFrom = from->dateTime().toString(Qt::ISODate);
                        defaultTo = to->dateTime().toString(Qt::ISODate);
                        Child<QLineEdit>(window, "RoomTxt")->setText(QStringLiteral(" 0816 "));
                        from->setDateTime(QDateTime(QDate(2026, 12, 29), QTime(0, 0, 0)));
                        to->setDateTime(QDateTime(QDate(2026, 12, 29), QTime(12, 0, 0)));
                        Child<QPushButton>(window, "QueryBtn")->click();
                        auto* grid = Child<QTableWidget>(window, "RecordGrid");
                        for (int r = 0; r < grid->rowCount(); ++r) {
                            QStringList cells;
                            for (int c = 0; c < grid->columnCount(); ++c)
                                cells << grid->item(r, c)->text();
                            shown << cells.join(QLatin1Char('|'));
                        }
                        count = Child<QLabel>(window, "CountLbl")->text();
                        Child<QPushButton>(window, "ExportBtn")->click();
                    }),
             Expect("QFileDialog",
                    [&](QWidget* window) {
                        auto* dialog = qobject_cast<QFileDialog*>(window);
                        // A name typed into the dialog's entry: its list of files may not be loaded yet.
                        dialog->setDirectory(QString::fromStdString(m_sandbox.Path().string()));
                        Child<QLineEdit>(dialog, "fileNameEdit")->setText(QStringLiteral("records.csv"));
                        static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
                    }),
             Expect("TRecordsForm", Cancel())});
        Child<QAction>(&form, "RecordsAction")->trigger();
    }
    // The last 24 hours when it opens.
    EXPECT_EQ(
        QDateTime::fromString(defaultFrom, Qt::ISODate).secsTo(QDateTime::fromString(defaultTo, Qt::ISODate)),
        24 * 3600);
    // A name's control characters show as the CLI shows them, not as a second line or nothing.
    EXPECT_EQ(shown,
              QStringList({Text("2026-12-29 11:00:00|01080816|816123114|成功|复制卡|2026-12-29 08:00:00|"
                                "2026-12-31 14:30:00|李四|R|127.0.0.1:50001"),
                           Text("2026-12-29 10:00:00|02030816|0|失败|新卡|2026-12-29 08:00:00|"
                                "2026-12-31 14:30:00|A\\x1b[8m\\x0aB|R|127.0.0.1:50000"),
                           Text("2026-12-29 09:00:00|01080816|816123114|成功|新卡|2026-12-29 08:00:00|"
                                "2026-12-31 14:30:00|张三|R|本机操作员")}));
    EXPECT_EQ(count, Text("共 3 条"));
    EXPECT_EQ(
        ReadFileBytes(csvFile),
        "\xEF\xBB\xBF操作时间,房间,卡号,结果,类型,开始时间,离店时间,客人姓名,登记号,来源\r\n"
        "2026-12-29 11:00:00,01080816,816123114,成功,复制卡,2026-12-29 08:00:00,2026-12-31 14:30:00,李四,R,"
        "127.0.0.1:50001\r\n"
        "2026-12-29 10:00:00,02030816,0,失败,新卡,2026-12-29 08:00:00,2026-12-31 14:30:00,"
        "\"A\x1b[8m\nB\",R,127.0.0.1:50000\r\n"
        "2026-12-29 09:00:00,01080816,816123114,成功,新卡,2026-12-29 08:00:00,2026-12-31 14:30:00,张三,R,"
        "本机操作员\r\n");
}

// With a retention the dialog says under the list from when rows are kept; without one it says nothing.
TEST_F(TRecordsFormTest, RetentionIsNamedUnderTheList) {
    const std::string database = m_sandbox.File("Client.db");
    TDoorlockRecordStore("sqlite3", database).OpenDatabase();
    const QString since = QDate::currentDate().addDays(-180).toString(QStringLiteral("yyyy-MM-dd"));
    const struct {
        TRecordRetentionPolicy Policy;
        QString Notice; // empty: no label
    } cases[] = {
        {{}, QString()},
        {{180, TRecordRetentionMode::Delete}, Text("发卡记录保留 180 天（") + since + Text(" 起）")},
        {{180, TRecordRetentionMode::Anonymise},
         Text("发卡记录的住客姓名和登记号保留 180 天（") + since + Text(" 起）")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Notice.toStdString());
        TRecordsForm form(TRecordStoreTarget{"sqlite3", database}, c.Policy);
        auto* label = form.findChild<QLabel*>(QStringLiteral("RetentionLbl"));
        if (c.Notice.isEmpty()) {
            EXPECT_EQ(label, nullptr);
        } else {
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->text(), c.Notice);
            // Below the list, not over it.
            EXPECT_GE(label->y(), Child<QTableWidget>(&form, "RecordGrid")->geometry().bottom());
        }
    }
}
