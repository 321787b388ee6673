#include "ui/VOK_DlgDeviceCfg.h"

#include "config/DeviceNames.h"
#include "config/OPCS_Doc.h"
#include "foundation/StringTable.h"
#include "link/CSerial.h"
#include "model/UiServices.h"
#include "model/VOKDevice.h"
#include "ui/DeviceSheetLogic.h"
#include "ui/TagRows.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cstdio>

namespace {

std::vector<std::string> PortNames() {
    Dll<CSerial*> ports;
    CSerial::ListPorts(ports);
    std::vector<std::string> names;
    for (CSerial* port : ports) names.push_back(port->GetName());
    return names;
}

}  // namespace

VOK_DlgDeviceCfg::VOK_DlgDeviceCfg(VOKDevice& device, QWidget* parent) : DevicePage(device, parent) {
    setObjectName("configurationPage");
    name_ = new QLineEdit(this);
    name_->setObjectName("name");
    minutes_ = new QSpinBox(this);
    minutes_->setObjectName("minutes");
    minutes_->setRange(0, 59);
    seconds_ = new QSpinBox(this);
    seconds_->setObjectName("seconds");
    seconds_->setRange(0, 59);
    flow_ = new QDoubleSpinBox(this);
    flow_->setObjectName("flow");
    flow_->setRange(0, 300);
    flow_->setDecimals(2);
    port_ = new QComboBox(this);
    port_->setObjectName("port");
    fromDevice_ = new QRadioButton(QString::fromStdString(LoadStringText(IDS_DATA_FROM_DEVICE)), this);
    fromDevice_->setObjectName("dataFromDevice");
    simulate_ = new QRadioButton(QString::fromStdString(LoadStringText(IDS_SIMULATE_TAG_DATA)), this);
    simulate_->setObjectName("simulateTagData");
    inService_ = new QCheckBox("In Service", this);
    inService_->setObjectName("inService");

    auto* interval = new QHBoxLayout;
    interval->addWidget(minutes_);
    interval->addWidget(new QLabel("Mins", this));
    interval->addSpacing(12);
    interval->addWidget(seconds_);
    interval->addWidget(new QLabel("Secs", this));
    interval->addStretch();
    auto* flow = new QHBoxLayout;
    flow->addWidget(flow_);
    flow->addWidget(new QLabel("ml/min", this));
    flow->addStretch();
    char address[32];
    std::snprintf(address, sizeof address, "%d", static_cast<int>(device.GetAddress()) - 128);
    auto* addressLabel = new QLabel(QString("Address: %1").arg(address), this);
    addressLabel->setObjectName("address");

    auto* form = new QFormLayout;
    form->addRow("Name:", name_);
    form->addRow("Sample Interval:", interval);
    form->addRow("Flow:", flow);
    form->addRow("Port:", port_);
    form->addRow("", addressLabel);

    auto* line = new QGroupBox("Line", this);
    auto* lineLayout = new QHBoxLayout(line);
    for (const char* fixed : {"Baud: 9600", "Stop Bits: 1", "Parity: None", "Data Bits: 8"})
        lineLayout->addWidget(new QLabel(fixed, line));
    auto* source = new QGroupBox("Data Source", this);
    auto* sourceLayout = new QVBoxLayout(source);
    sourceLayout->addWidget(fromDevice_);
    sourceLayout->addWidget(simulate_);

    auto* page = new QVBoxLayout(this);
    page->addLayout(form);
    page->addWidget(line);
    page->addWidget(source);
    page->addWidget(inService_);
    page->addStretch();
}

void VOK_DlgDeviceCfg::Initialise() {
    name_->setText(QString::fromStdString(device_.GetName()));
    const DWORD interval = device_.GetSampleInterval();
    minutes_->setValue(static_cast<int>((interval / 60) % 60));
    seconds_->setValue(static_cast<int>(interval % 60));
    flow_->setValue(device_.GetFlow());
    const std::vector<std::string> names = PortNames();
    port_->addItem("None");
    for (const std::string& name : names) port_->addItem(QString::fromStdString(name));
    port_->setCurrentText(QString::fromStdString(devicesheet::PortText(device_.GetPort(), names)));
    (device_.IsSimulation() ? simulate_ : fromDevice_)->setChecked(true);
    inService_->setChecked(device_.IsInService());
    // A polling device keeps its line.
    port_->setEnabled(!tagrows::IsPolling(&device_));
}

bool VOK_DlgDeviceCfg::Validate() {
    const std::string name = name_->text().toStdString();
    Dll<OPCS_Device*> devices;
    if (const OPCS_Doc* doc = GetCurrentDoc()) doc->GetDeviceList(devices);
    const devicenames::Problem problem = devicenames::Check(name, devicenames::NamesOf(devices, &device_));
    if (problem != devicenames::Problem::kNone) {
        GetUiServices().ShowMessage(devicenames::RefusalText(problem, name), MessageIcon::Warning, MessageButtons::Ok);
        name_->setFocus();
        name_->selectAll();
        return false;
    }
    const std::optional<DWORD> interval = devicesheet::SampleInterval(minutes_->value(), seconds_->value());
    if (!interval) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "There are errors in the sample interval.\nThe max allowed sample interval is %d seconds.",
                      static_cast<int>(devicesheet::kMaxSampleInterval));
        GetUiServices().ShowMessage(text, MessageIcon::Warning, MessageButtons::Ok);
        return false;
    }
    values_ = {name, *interval, flow_->value(),
               devicesheet::PortNumber(port_->currentText().toStdString()), simulate_->isChecked(),
               inService_->isChecked()};
    return true;
}

void VOK_DlgDeviceCfg::Apply() {
    if (values_.port) device_.SetPort(*values_.port);
    device_.SetSimulation(values_.simulate);
    device_.SetName(values_.name);
    device_.SetFlow(values_.flow);
    intervalWritten_ = device_.SetSampleInterval(values_.interval, true);
    device_.SetInService(values_.inService);
}

void VOK_DlgDeviceCfg::AfterApply() {
    if (intervalWritten_) return;
    GetUiServices().ShowMessage(
        "Failed to write the sample interval to the counter.\nPlease check your connections and try again.",
        MessageIcon::Information, MessageButtons::Ok);
}
