// Renders every window and dialog of the host to PNG files, for the documentation.

#include "OffscreenMessages.h"

#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/forms/DoorlockTestFormUnit.h"
#include "doorlock/forms/OptionFormUnit.h"
#include "doorlock/forms/RecordsFormUnit.h"
#include "forms/FormSupportUnit.h"
#include "host/InterfaceHostUnit.h"
#include "host/forms/AboutFormUnit.h"
#include "host/forms/ChangePasswordFormUnit.h"
#include "host/forms/CheckPasswordFormUnit.h"
#include "host/forms/HostFormsUnit.h"
#include "host/forms/MainFormUnit.h"
#include "member/forms/MemberTestFormUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/SocketUnit.h"
#include "records/DoorlockRecordStoreUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTranslator>

#include <cstdio>
#include <string>

namespace {

bool Save(QWidget& widget, const QString& directory, const char* name) {
    widget.show();
    QApplication::processEvents();
    const QString path = QDir(directory).filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
    const bool saved = widget.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    widget.hide();
    return saved;
}

void Type(QWidget& form, const char* entry, const char* text) {
    if (auto* edit = form.findChild<QLineEdit*>(QString::fromLatin1(entry)))
        edit->setText(QString::fromUtf8(text));
}

} // namespace

int main(int argc, char** argv) {
    // The window program's own choice where it makes one (under Wine), else the offscreen platform.
    ChooseQtPlatform();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QuietOffscreenMessages();
    // Takes Qt's own arguments out (-platform NAME: Wine does not pass QT_QPA_PLATFORM to the program).
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s [-platform NAME] OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    QApplication::setQuitOnLastWindowClosed(false);
    QTranslator translator;
    LoadQtTranslation(translator);
    InitFormResources();

    const QString output = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(output);
    QTemporaryDir programDir;
    const std::string iniFile = QDir(programDir.path()).filePath(QStringLiteral("Option.ini")).toStdString();
    TDoorlockOption option(iniFile);
    TSysOption sysOption(iniFile);
    // The embedded default port, as a desk shows it; another port only where something here holds that one.
    try {
        ListenTcp(sysOption.DoorlockPortNo, 1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "port %d: %s; the main window shows another\n", sysOption.DoorlockPortNo,
                     e.what());
        sysOption.DoorlockPortNo = 0;
    }
    TLogFile logFile(QDir(programDir.path()).filePath(QStringLiteral("screenshots.LOG")).toStdString());
    Option = &option;
    SysOption = &sysOption;
    LogFile = &logFile;
    InterfaceKind = TInterfaceKind::Doorlock;

    bool ok = true;
    {
        TMainForm form;
        ok &= Save(form, output, "MainForm");
        {
            TCheckPasswordForm prompt(&form);
            Type(prompt, "edtPswd", "mirvek");
            ok &= Save(prompt, output, "CheckPasswordForm");
        }
        {
            TChangePasswordForm change(&form);
            Type(change, "edtPswd", "secret");
            Type(change, "edtConfirmPswd", "secret");
            ok &= Save(change, output, "ChangePasswordForm");
        }
        {
            QMessageBox box(
                QMessageBox::Critical, ToQString(ApplicationTitle()),
                ToQString(ErrorBoxText("Could not bind socket. Address and port are already in use.")),
                QMessageBox::Ok);
            ok &= Save(box, output, "ErrorBox");
        }
        {
            TAboutForm about;
            ok &= Save(about, output, "AboutForm");
        }
        {
            TOptionForm options;
            ok &= Save(options, output, "OptionForm");
        }
        {
            TRoomTurns turns;
            TDoorlockTestForm test(TCardIssueContext{option, nullptr, nullptr, turns});
            // Room 0816 on the eighth floor of building 01, as the records below hold it.
            Type(test, "RoomBuildingCodeTxt", "01");
            Type(test, "RoomFloorCodeTxt", "08");
            Type(test, "RoomNoTxt", "0816");
            ok &= Save(test, output, "DoorlockTestForm");
        }
        {
            // A few cards of the last hours, which the dialog lists when it opens.
            const std::string database =
                QDir(programDir.path()).filePath(QStringLiteral("Client.db")).toStdString();
            {
                TDoorlockRecordStore store("sqlite3", database);
                const TDateTime now = Now();
                const struct {
                    const char* Room;
                    int MinutesAgo;
                    const char* Guest;
                    const char* RegisterId;
                    bool Copy;
                    bool Issued; // false: no card on the encoder, the row holds card number 0
                    const char* Source;
                } rows[] = {{"01080816", 340, "张三", "R2026122900012", false, true, "192.168.1.20:50412"},
                            {"01080816", 335, "张三", "R2026122900012", true, true, "192.168.1.20:50418"},
                            {"01030305", 201, "李四", "R2026122900015", false, false, "192.168.1.20:51022"},
                            {"01030305", 200, "李四", "R2026122900015", false, true, "192.168.1.20:51030"},
                            {"01120802", 95, "王五", "R2026122900019", false, true, "192.168.1.20:51873"},
                            {"01080816", 20, "赵六", "R2026122900023", false, true, "192.168.1.20:52107"}};
                // Check-out the day after tomorrow at 12:00; the card number is the room number and its
                // month, day and hour. The hotel system sends from its own address.
                const TDateTime checkOut = static_cast<double>(static_cast<long>(now)) + 2.5;
                for (const auto& row : rows) {
                    const TDateTime at = IncMinutes(now, -row.MinutesAgo);
                    const std::string room = row.Room;
                    const std::string cardNo =
                        row.Issued
                            ? std::to_string(std::stoll(room.substr(4) + FormatDateTime("mmddhh", checkOut)))
                            : "0";
                    store.AddIssueCardRecord({.RegisterId = row.RegisterId,
                                              .CardNo = cardNo,
                                              .RoomNo = room,
                                              .LastCheckInTime = at,
                                              .CheckInTime = at,
                                              .CheckOutTime = checkOut,
                                              .IsCopy = row.Copy,
                                              .GuestName = Gbk(row.Guest),
                                              .OpratingTime = at,
                                              .Source = row.Source});
                }
            }
            TRecordsForm records(TRecordStoreTarget{"sqlite3", database});
            ok &= Save(records, output, "RecordsForm");
        }
        {
            TMemberTestForm test;
            ok &= Save(test, output, "MemberTestForm");
        }
    }
    LogFile = nullptr;
    return ok ? 0 : 1;
}
