#include "core/MessageBox.h"

#include <QApplication>
#include <QMessageBox>

#include "core/Ansi.h"
#include "core/Log.h"
#include "core/Version.h"
#include "image/ImageDialogs.h"

namespace {
MessageBoxHandler gHandler;

QMessageBox::Icon ToQtIcon(MsgIcon icon) {
    switch (icon) {
        case MsgIcon::Question: return QMessageBox::Question;
        case MsgIcon::Exclamation: return QMessageBox::Warning;
        case MsgIcon::Critical: return QMessageBox::Critical;
        case MsgIcon::Information: break;
    }
    return QMessageBox::Information;
}

// Qt labels break lines at LF; a CR left in would show as a stray glyph.
QString DisplayText(const std::string& text) {
    QString shown = AnsiToQString(text);
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return shown;
}

MsgAnswer ShowQtMessageBox(const MsgRequest& request) {
    const bool yesNo = request.buttons == MsgButtons::YesNo;
    QMessageBox box(ToQtIcon(request.icon), DisplayText(request.title), DisplayText(request.text),
                    yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok);
    box.setDefaultButton(!yesNo ? QMessageBox::Ok
                         : request.defaultButton == MsgAnswer::Yes ? QMessageBox::Yes
                                                                   : QMessageBox::No);
    // Above the always-on-top console and output windows, or the operator
    // could not see the question.
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    const int taken = box.exec();
    if (!yesNo) return MsgAnswer::Ok;
    return taken == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
}
}  // namespace

MsgAnswer ShowMessageBox(const MsgRequest& request) {
    return gHandler ? gHandler(request) : ShowQtMessageBox(request);
}

void SetMessageBoxHandler(MessageBoxHandler handler) { gHandler = std::move(handler); }

bool DialogsCanBeAnswered() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

MsgAnswer AnswerUnattended(const MsgRequest& request) {
    const bool question = request.buttons == MsgButtons::YesNo;
    WriteLog("Message box \"" + request.title + "\": \"" + request.text + "\" cannot be answered on the " +
                 QGuiApplication::platformName().toStdString() + " platform; answered " + (question ? "No" : "OK") +
                 ".",
             "SYS", "W");
    return question ? MsgAnswer::No : MsgAnswer::Ok;
}

void InstallImageDialogs() {
    SetImageQuestionHook([](const std::string& text, const std::string& title) {
        return ShowMessageBox({text, title, MsgButtons::YesNo, MsgIcon::Question, MsgAnswer::No}) == MsgAnswer::Yes;
    });
    SetImageMessageHook([](const std::string& text) {
        ShowMessageBox({text, Version::ProductName, MsgButtons::Ok, MsgIcon::Information});
    });
}
