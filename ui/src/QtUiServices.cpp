#include "ui/QtUiServices.h"

#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "ui/BusyWork.h"
#include "ui/VOK_DlgDevice.h"
#include "ui/VOK_DlgTag.h"
#include "ui/VOK_DlgGroup.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>

#include <vector>

namespace {

bool OnGuiThread() { return qApp != nullptr && QThread::currentThread() == qApp->thread(); }

QMessageBox::Icon BoxIcon(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Question: return QMessageBox::Question;
    case MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons BoxButtons(MessageButtons buttons) {
    switch (buttons) {
    case MessageButtons::Ok: return QMessageBox::Ok;
    case MessageButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case MessageButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case MessageButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MessageButtons::RetryCancel: return QMessageBox::Retry | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

MessageAnswer Answer(int button, MessageButtons buttons) {
    switch (button) {
    case QMessageBox::Ok: return MessageAnswer::Ok;
    case QMessageBox::Yes: return MessageAnswer::Yes;
    case QMessageBox::No: return MessageAnswer::No;
    case QMessageBox::Retry: return MessageAnswer::Retry;
    case QMessageBox::Cancel: return MessageAnswer::Cancel;
    default: return DefaultAnswer(buttons);  // closed with Escape or the close box
    }
}

std::vector<std::string> Split(const std::string& text, char at) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == at) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

}  // namespace

std::string QtFileFilter(const std::string& pipes) {
    const std::vector<std::string> parts = Split(pipes, '|');
    std::string out;
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        const std::string& description = parts[i];
        std::string patterns = parts[i + 1];
        if (description.empty() && patterns.empty()) break;  // the closing "||"
        for (char& c : patterns) {
            if (c == ';') c = ' ';
        }
        std::string entry = description;
        if (description.find('(') == std::string::npos) entry += (entry.empty() ? "(" : " (") + patterns + ")";
        if (!out.empty()) out += ";;";
        out += entry;
    }
    return out;
}

MessageAnswer QtUiServices::ShowMessage(const std::string& text, MessageIcon icon, MessageButtons buttons,
                                        const std::string& caption) {
    if (!OnGuiThread()) {
        if (!busywork::OnWorkThread()) return HeadlessUiServices::ShowMessage(text, icon, buttons, caption);
        // The GUI thread waits for this work in its event loop: it shows the box.
        MessageAnswer answer = DefaultAnswer(buttons);
        QMetaObject::invokeMethod(
            qApp, [&] { answer = ShowMessage(text, icon, buttons, caption); }, Qt::BlockingQueuedConnection);
        return answer;
    }
    QMessageBox box(BoxIcon(icon), QString::fromStdString(caption.empty() ? kApplicationTitle : caption),
                    QString::fromStdString(text), BoxButtons(buttons), QApplication::activeWindow());
    return Answer(box.exec(), buttons);
}

bool QtUiServices::ShowProperties(OPCS_Tag& tag) {
    if (!OnGuiThread()) return false;
    // Only counter tags have a property sheet; any other kind of tag is told so.
    if (!VOKTag::IsValidVOKTag(&tag)) {
        QMessageBox::information(QApplication::activeWindow(), kApplicationTitle,
                                 "This tag has no properties that can be changed here.");
        return false;
    }
    VOK_DlgTag dialog(static_cast<VOKTag&>(tag), QApplication::activeWindow());
    return dialog.exec() == QDialog::Accepted;
}
bool QtUiServices::ShowProperties(OPCS_TagGroup& group) {
    if (!OnGuiThread()) return false;
    VOK_DlgGroup dialog(group, QApplication::activeWindow());
    return dialog.exec() == QDialog::Accepted;
}

bool QtUiServices::ShowDeviceProperties(OPCS_Device& device) {
    if (!OnGuiThread() || !VOKDevice::IsValidVOKDevice(&device)) return false;
    VOK_DlgDevice dialog(static_cast<VOKDevice&>(device), QApplication::activeWindow());
    return dialog.exec() == QDialog::Accepted;
}

std::optional<std::string> QtUiServices::ChooseFile(const FileChoice& choice) {
    if (!OnGuiThread()) return std::nullopt;
    QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(choice.title),
                       QString::fromStdString(choice.initialPath), QString::fromStdString(QtFileFilter(choice.filter)));
    dialog.setAcceptMode(choice.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(choice.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    std::string suffix = choice.defaultExtension;
    if (!suffix.empty() && suffix.front() == '.') suffix.erase(0, 1);
    dialog.setDefaultSuffix(QString::fromStdString(suffix));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().front().toStdString();
}
