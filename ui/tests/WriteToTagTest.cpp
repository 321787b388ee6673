// The write-to-tag window: the text-to-value rules on their own, then the
// window driven as the operator drives it, on a simulated counter's tags.
#include "ui/HelpWindow.h"
#include "ui/OPCS_DlgWriteToTag.h"
#include "ui/TagValueText.h"

#include "QtTestApp.h"
#include "model/OPCS_Tag.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "platform/Environment.h"
#include "testsupport/TempDir.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

namespace {

constexpr const char* kCannotConvert =
    "Unable to write the input tag value.\nFor bool use T, F or True, False\nDates are not supported";

// A converted value, cleared at the end of the test.
struct Converted {
    VARIANT value;
    bool ok;
    Converted(const std::string& text, VARTYPE type) {
        VariantInit(&value);
        ok = TagValueText::ToVariant(text, type, value);
    }
    ~Converted() { VariantClear(&value); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Conversion

TEST(WriteToTagText, TypeNamesFollowTheCanonicalType) {
    EXPECT_STREQ(TagValueText::TypeName(VT_I2), "Short 2 Byte Int");
    EXPECT_STREQ(TagValueText::TypeName(VT_I4), "Int 4 Byte Int");
    EXPECT_STREQ(TagValueText::TypeName(VT_R4), "Float 4 Byte real");
    EXPECT_STREQ(TagValueText::TypeName(VT_R8), "Double 8 Byte real");
    EXPECT_STREQ(TagValueText::TypeName(VT_BSTR), "String");
    EXPECT_STREQ(TagValueText::TypeName(VT_BOOL), "Bool (T/F,True/False,1/0)");
    EXPECT_STREQ(TagValueText::TypeName(VT_UI1), "Byte 0-255");
    for (VARTYPE other : {VT_EMPTY, VT_DATE, VT_UI2, VT_UI4, VT_I1, VT_CY, static_cast<VARTYPE>(VT_ARRAY | VT_R8)}) {
        EXPECT_STREQ(TagValueText::TypeName(other), "Unknown") << other;
        EXPECT_FALSE(TagValueText::IsWritableType(other)) << other;
        Converted c("1", other);
        EXPECT_FALSE(c.ok) << other;
        EXPECT_EQ(c.value.vt, VT_EMPTY);
    }
}

TEST(WriteToTagText, WholeNumbersMustFitTheirType) {
    Converted shortValue(" -123 ", VT_I2);
    ASSERT_TRUE(shortValue.ok);
    EXPECT_EQ(shortValue.value.vt, VT_I2);
    EXPECT_EQ(shortValue.value.iVal, -123);
    EXPECT_TRUE(Converted("32767", VT_I2).ok);
    EXPECT_FALSE(Converted("32768", VT_I2).ok);
    EXPECT_FALSE(Converted("-32769", VT_I2).ok);

    Converted longValue("2147483647", VT_I4);
    ASSERT_TRUE(longValue.ok);
    EXPECT_EQ(longValue.value.lVal, 2147483647);
    EXPECT_FALSE(Converted("2147483648", VT_I4).ok);

    Converted byteValue("255", VT_UI1);
    ASSERT_TRUE(byteValue.ok);
    EXPECT_EQ(byteValue.value.vt, VT_UI1);
    EXPECT_EQ(byteValue.value.bVal, 255);
    // Not cut to its low 8 bits (300 would become 44): refused.
    Converted tooBig("300", VT_UI1);
    EXPECT_FALSE(tooBig.ok);
    EXPECT_EQ(tooBig.value.vt, VT_EMPTY);
    EXPECT_FALSE(Converted("-1", VT_UI1).ok);
}

TEST(WriteToTagText, RealsAreReadWithAPointAndMustBeFinite) {
    Converted d("2.5", VT_R8);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.value.vt, VT_R8);
    EXPECT_DOUBLE_EQ(d.value.dblVal, 2.5);
    Converted e("-1e3", VT_R8);
    ASSERT_TRUE(e.ok);
    EXPECT_DOUBLE_EQ(e.value.dblVal, -1000);
    Converted f("0.1", VT_R4);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.value.vt, VT_R4);
    EXPECT_FLOAT_EQ(f.value.fltVal, 0.1f);
    EXPECT_FALSE(Converted("1e999", VT_R8).ok);
    EXPECT_FALSE(Converted("3.5e38", VT_R4).ok) << "beyond a float";
    for (const char* text : {"nan", "NaN", "inf", "-Infinity"}) {
        EXPECT_FALSE(Converted(text, VT_R8).ok) << text;
        EXPECT_FALSE(Converted(text, VT_R4).ok) << text;
    }
}

TEST(WriteToTagText, TextThatIsNotANumberIsRefusedForEveryNumericType) {
    for (VARTYPE type : {VT_I2, VT_I4, VT_R4, VT_R8, VT_UI1}) {
        for (const char* text : {"abc", "", "   ", "12abc", "1.2.3", "5 6", "2,5"}) {
            Converted c(text, type);
            EXPECT_FALSE(c.ok) << "type " << type << " text '" << text << "'";
            EXPECT_EQ(c.value.vt, VT_EMPTY);
        }
    }
}

TEST(WriteToTagText, BoolsTakeTheirLettersAndDigitsAndNothingElse) {
    for (const char* text : {"t", "T", "true", "True", "TRUE", " true ", "1"}) {
        Converted c(text, VT_BOOL);
        ASSERT_TRUE(c.ok) << text;
        EXPECT_EQ(c.value.vt, VT_BOOL);
        EXPECT_EQ(c.value.boolVal, VARIANT_TRUE) << text;
    }
    for (const char* text : {"f", "F", "false", "False", "0"}) {
        Converted c(text, VT_BOOL);
        ASSERT_TRUE(c.ok) << text;
        EXPECT_EQ(c.value.boolVal, VARIANT_FALSE) << text;
    }
    // What the operator meant is unclear: writing false for "yes" would be wrong.
    for (const char* text : {"yes", "no", "", "2", "-1", "tr", "10"}) {
        Converted c(text, VT_BOOL);
        EXPECT_FALSE(c.ok) << text;
        EXPECT_EQ(c.value.vt, VT_EMPTY);
    }
}

TEST(WriteToTagText, StringsKeepTheTextAsTypedAndTheOldValueIsReplaced) {
    VARIANT v;
    VariantInit(&v);
    ASSERT_TRUE(TagValueText::ToVariant("old text", VT_BSTR, v));
    ASSERT_TRUE(TagValueText::ToVariant("  5 \xC2\xB5m, 2.5 ", VT_BSTR, v));
    EXPECT_EQ(v.vt, VT_BSTR);
    EXPECT_EQ(BstrToUtf8(v.bstrVal), "  5 \xC2\xB5m, 2.5 ");
    ASSERT_TRUE(TagValueText::ToVariant("", VT_BSTR, v));
    EXPECT_EQ(BstrToUtf8(v.bstrVal), "");
    // A refused conversion leaves nothing behind, not the earlier string.
    EXPECT_FALSE(TagValueText::ToVariant("abc", VT_I4, v));
    EXPECT_EQ(v.vt, VT_EMPTY);
    VariantClear(&v);
}

// ---------------------------------------------------------------------------
// The window

namespace {

class WriteToTagDialog : public ::testing::Test {
protected:
    void SetUp() override {
        QtTestApp();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        device = VOKDevice::Create(false);
        device->SetSimulation(true);
        ASSERT_TRUE(device->SetSampleInterval(30, false));
        interval = device->GetSlotTag(VOKDevice::kSlotSampleInterval);
        ASSERT_NE(interval, nullptr);
        ASSERT_EQ(interval->GetName(), "Sample Interval");
        parent_ = std::make_unique<QWidget>();
        parent_->show();
    }
    void TearDown() override {
        CloseAll();
        parent_.reset();
        device.reset();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    // The window opened for the tag, as the Write To Tag command opens it.
    OPCS_DlgWriteToTag* Open(OPCS_Tag& tag) {
        OPCS_DlgWriteToTag::Open(tag, parent_.get());
        auto* dialog = parent_->findChild<OPCS_DlgWriteToTag*>();
        if (dialog != nullptr) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog));
        }
        return dialog;
    }
    template <typename T>
    static T* Child(QWidget* dialog, const char* name) {
        T* child = dialog->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    static void Type(QWidget* dialog, const QString& text) {
        QLineEdit* edit = Child<QLineEdit>(dialog, "newValue");
        edit->setFocus();
        QTest::keyClicks(edit, text);
    }
    static void Settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }
    void CloseAll() {
        for (auto* dialog : parent_->findChildren<OPCS_DlgWriteToTag*>()) dialog->close();
        if (auto* help = help::OpenWindow()) help->close();
        Settle();
    }
    bool InService() const { return device->IsInService(); }

    TempDir registry_;
    ScriptedUiServices ui;
    std::unique_ptr<VOKDevice> device;
    VOKTag* interval = nullptr;
    // Made once the application exists, which widgets need first.
    std::unique_ptr<QWidget> parent_;
};

}  // namespace

TEST_F(WriteToTagDialog, ShowsTheTagAndWritesTheSampleIntervalThroughTheClientWrite) {
    interval->SetChanged(true);
    QPointer<OPCS_DlgWriteToTag> dialog = Open(*interval);
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(dialog->isModal());
    EXPECT_EQ(dialog->windowTitle(), "Write to tag");
    EXPECT_EQ(Child<QLabel>(dialog, "tagName")->text(), "Sample Interval");
    EXPECT_EQ(Child<QLabel>(dialog, "typeName")->text(), "Double 8 Byte real");
    EXPECT_EQ(Child<QLineEdit>(dialog, "currentValue")->text(), "30 ");
    EXPECT_TRUE(interval->IsChanged()) << "looking at the value must not hide a change from the tag list";

    Type(dialog, "120");
    QTest::mouseClick(Child<QPushButton>(dialog, "apply"), Qt::LeftButton);
    EXPECT_EQ(device->GetSampleInterval(), 120u);
    EXPECT_EQ(device->GetUpdateInterval(), 120u);
    EXPECT_EQ(interval->GetValueText(), "120 ");
    EXPECT_TRUE(ui.Messages().empty());
    Settle();
    EXPECT_TRUE(dialog.isNull()) << "the window ends after Apply";
}

TEST_F(WriteToTagDialog, RefusesTextThatIsNotANumberAndWritesNothing) {
    QPointer<OPCS_DlgWriteToTag> dialog = Open(*interval);
    ASSERT_NE(dialog, nullptr);
    Type(dialog, "abc");
    QTest::keyClick(Child<QLineEdit>(dialog, "newValue"), Qt::Key_Return);  // Apply is the default button
    EXPECT_EQ(device->GetSampleInterval(), 30u);
    EXPECT_EQ(interval->GetValueText(), "30 ");
    const auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, kCannotConvert);
    EXPECT_EQ(messages[0].icon, MessageIcon::Warning);
    Settle();
    EXPECT_TRUE(dialog.isNull()) << "Apply ends the window whatever the outcome";
}

TEST_F(WriteToTagDialog, BoolTagTakesTheCounterOutOfServiceAndRefusesAnUnclearAnswer) {
    VOKTag* inService = device->GetSlotTag(VOKDevice::kSlotCounterInService);
    ASSERT_NE(inService, nullptr);
    ASSERT_TRUE(InService());

    OPCS_DlgWriteToTag* dialog = Open(*inService);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Child<QLabel>(dialog, "typeName")->text(), "Bool (T/F,True/False,1/0)");
    Type(dialog, "yes");
    QTest::mouseClick(Child<QPushButton>(dialog, "apply"), Qt::LeftButton);
    EXPECT_TRUE(InService());
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0].text, kCannotConvert);
    Settle();

    dialog = Open(*inService);
    ASSERT_NE(dialog, nullptr);
    Type(dialog, "f");
    QTest::mouseClick(Child<QPushButton>(dialog, "apply"), Qt::LeftButton);
    EXPECT_FALSE(InService());
    EXPECT_EQ(ui.Messages().size(), 1u) << "no further message";
}

TEST_F(WriteToTagDialog, ARefusedWriteIsReportedAsAFailure) {
    // Read-only: the client write refuses it, as it refuses an OPC client.
    VOKTag* totalRaw = device->GetSlotTag(VOKDevice::kSlotTotalRaw);
    ASSERT_NE(totalRaw, nullptr);
    ASSERT_EQ(totalRaw->GetAccessRights(), 0);
    OPCS_DlgWriteToTag* dialog = Open(*totalRaw);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Child<QLabel>(dialog, "typeName")->text(), "Int 4 Byte Int");
    Type(dialog, "5");
    QTest::mouseClick(Child<QPushButton>(dialog, "apply"), Qt::LeftButton);
    const auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Failed to write to tag");
    EXPECT_EQ(messages[0].icon, MessageIcon::Error);
}

TEST_F(WriteToTagDialog, CloseWritesNothingAndATagDeletedMeanwhileIsNotTouched) {
    QPointer<OPCS_DlgWriteToTag> dialog = Open(*interval);
    ASSERT_NE(dialog, nullptr);
    Type(dialog, "99");
    QTest::mouseClick(Child<QPushButton>(dialog, "close"), Qt::LeftButton);
    Settle();
    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(device->GetSampleInterval(), 30u);
    EXPECT_TRUE(ui.Messages().empty());

    dialog = Open(*interval);
    ASSERT_NE(dialog, nullptr);
    Type(dialog, "45");
    OPCS_Tag* gone = interval;
    device.reset();  // the device and its tags are deleted while the window is open
    ASSERT_FALSE(OPCS_Tag::IsValidTag(gone));
    QTest::mouseClick(Child<QPushButton>(dialog, "apply"), Qt::LeftButton);
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0].text, "Failed to write to tag");
    Settle();
    EXPECT_TRUE(dialog.isNull());

    // A window asked for a tag that is gone does not open.
    OPCS_DlgWriteToTag::Open(*gone, parent_.get());
    EXPECT_EQ(parent_->findChild<OPCS_DlgWriteToTag*>(), nullptr);
}

TEST_F(WriteToTagDialog, HelpAndF1OpenTheWritePage) {
    OPCS_DlgWriteToTag* dialog = Open(*interval);
    ASSERT_NE(dialog, nullptr);
    QTest::keyClick(dialog, Qt::Key_F1);
    help::HelpWindow* window = help::OpenWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->CurrentPage(), help::HelpFolder() + "write-to-tag.html");
    window->close();
    Settle();
    QTest::mouseClick(Child<QPushButton>(dialog, "help"), Qt::LeftButton);
    ASSERT_NE(help::OpenWindow(), nullptr);
    EXPECT_EQ(help::OpenWindow()->CurrentPage(), help::HelpFolder() + "write-to-tag.html");
    EXPECT_TRUE(ui.Messages().empty());
    EXPECT_EQ(device->GetSampleInterval(), 30u) << "help writes nothing";
}
