#include "res/DialogTemplates.h"

#include "res/Resource.h"

const DialogTemplate &MainDialogTemplate()
{
    using K = ControlKind;
    static const DialogTemplate main{
        IDD_RFID_LORIX_DIALOG,
        MAIN_DIALOG_TEMPLATE_TITLE,
        QSize(589, 558),
        "MS Shell Dlg",
        8,
        {
            {IDC_STATIC, K::Label, "Select by Port", QRect(11, 15, 46, 8)},
            {IDC_PORT_PICKER, K::DropDownList, nullptr, QRect(62, 11, 145, 30)},
            {IDC_OPEN_PORT, K::PushButton, "Open Port", QRect(210, 11, 50, 12)},
            {IDC_STATIC, K::Label, "Bluetooth Devices List (Port : MAC)", QRect(7, 37, 113, 8)},
            {IDC_DEVICE_LIST, K::ReadOnlyEdit, nullptr, QRect(7, 47, 232, 48)},
            {IDC_STATIC, K::Label, "Ondo Command", QRect(7, 98, 47, 8)},
            {IDC_DETAILS, K::PushLikeCheckBox, ">>Details", QRect(60, 97, 48, 10), true},
            {IDC_CATALOGUE_TREE, K::TreeView, nullptr, QRect(7, 109, 253, 156)},
            {IDC_STATIC, K::EtchedVerticalLine, nullptr, QRect(267, 3, 1, 547)},
            {IDC_STATIC, K::GroupBox, "KeyWedge Settings", QRect(284, 11, 298, 88)},
            {IDC_AUTO_START, K::CheckBox, "Auto Connect When Program Startup", QRect(293, 34, 129, 10)},
            {IDC_KEY_EMULATOR, K::CheckBox, "Key Emulator Mode", QRect(293, 49, 86, 10)},
            {IDC_ASCII_MODE, K::CheckBox, "ASCII Mode (otherwise Hex)", QRect(293, 63, 117, 10)},
            {IDC_STATIC, K::GroupBox, "RFID Setting", QRect(430, 23, 143, 71)},
            {IDC_MULTI_MODE, K::RadioButton, "RFID Multi Mode", QRect(438, 34, 68, 10)},
            {IDC_SINGLE_MODE, K::RadioButton, "RFID Single Mode", QRect(438, 47, 72, 10)},
            {IDC_STATIC, K::Label, "TX PWR", QRect(483, 61, 26, 8)},
            {IDC_STATIC, K::Label, "min", QRect(437, 66, 12, 8)},
            {IDC_STATIC, K::Label, "max", QRect(548, 66, 14, 8)},
            {IDC_TX_POWER, K::TrackBar, nullptr, QRect(435, 73, 126, 15)},
            {IDC_COMMAND_BOX, K::DropDownCombo, nullptr, QRect(274, 108, 231, 30)},
            {IDC_SEND, K::DefaultPushButton, "Send", QRect(522, 109, 50, 14)},
            {IDC_LOG_VIEW, K::RichEdit, nullptr, QRect(274, 125, 308, 406)},
            {IDC_SAVE_AS, K::PushButton, "Save As...", QRect(90, 537, 50, 14), true},
            {IDC_SAVE_DATA, K::PushButton, "Save Data (xml)", QRect(188, 535, 75, 14)},
            {IDC_CLEAR, K::PushButton, "Clear", QRect(523, 532, 50, 14)},
            {IDOK, K::PushButton, "OK", QRect(532, 7, 50, 16), true},
            {IDCANCEL, K::PushButton, "Cancel", QRect(480, 7, 50, 16), true},
        }};
    return main;
}
